#include "catalogue/resource_list_file.h"

#include "base/gbk_text.h"
#include "base/gydy.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace quorrel {
namespace {

// A line break inside an address (a lone CR or LF can survive in a captured path) would
// split its line in two on reading. Written as %0D/%0A, the address keeps its meaning.
QString oneLine(QStringView text)
{
    if (!text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n')))
        return text.toString();
    QString line;
    line.reserve(text.size() + 6);
    for (QChar ch : text) {
        if (ch == QLatin1Char('\r'))
            line += QLatin1String("%0D");
        else if (ch == QLatin1Char('\n'))
            line += QLatin1String("%0A");
        else
            line += ch;
    }
    return line;
}

QString reason(const QString &path, const QString &what, const QString &why)
{
    // The file, then the system's reason as the library words it.
    return QStringLiteral("%1 \"%2\"：%3").arg(what, QFileInfo(path).absoluteFilePath(), why);
}

} // namespace

ResourceListSnapshot SnapshotResourceList(const ResourceTree &tree, const QStringList &keptLines)
{
    ResourceListSnapshot snapshot;
    snapshot.entries.reserve(std::size_t(tree.count()));
    tree.forEachPreOrder([&snapshot](TreeNode *node, int) {
        if (const TreeNode *parent = node->parent())
            snapshot.entries.emplace_back(parent->caption(), node->Link());
        // else: the roots, and resources filed at the top level
    });
    snapshot.keptLines = keptLines;
    return snapshot;
}

QByteArray ResourceListBytes(const ResourceListSnapshot &snapshot)
{
    QString text;
    for (const auto &[category, address] : snapshot.entries) {
        const QStringView link = TrimBlanks(QStringView(address));
        // Categories: their Link is a type number. Counted in bytes, as the file holds
        // the address: 中文（中 is four characters and eight bytes.
        if (link.size() < 8 && toGbk(link).size() < 8)
            continue;
        text += oneLine(TrimBlanks(QStringView(category)));
        text += QLatin1String("  ");
        text += oneLine(link);
        text += QLatin1String("\r\n");
    }
    for (const QString &line : snapshot.keptLines) {
        text += line;
        text += QLatin1String("\r\n");
    }
    return toGbk(text);
}

QByteArray ResourceListBytes(const ResourceTree &tree, const QStringList &keptLines)
{
    return ResourceListBytes(SnapshotResourceList(tree, keptLines));
}

std::optional<QString> WriteResourceList(const QString &path, const ResourceListSnapshot &snapshot)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return reason(path, QStringLiteral("无法创建文件"), file.errorString());
    const QByteArray bytes = ResourceListBytes(snapshot);
    if (file.write(bytes) != bytes.size() || !file.commit())
        return reason(path, QStringLiteral("无法创建文件"), file.errorString());
    return std::nullopt;
}

std::optional<QString> SaveResourceList(const ResourceTree &tree, const QString &path, const QStringList &keptLines)
{
    return WriteResourceList(path, SnapshotResourceList(tree, keptLines));
}

namespace {

// Whether text begins with a URL scheme and "://" (RFC 3986, 3.1: a letter, then letters,
// digits, "+", "-" or ".").
bool beginsWithScheme(QStringView text)
{
    const auto letter = [](QChar c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); };
    if (text.isEmpty() || !letter(text.front()))
        return false;
    qsizetype i = 1;
    while (i < text.size() && (letter(text[i]) || (text[i] >= u'0' && text[i] <= u'9') || text[i] == u'+'
                               || text[i] == u'-' || text[i] == u'.'))
        ++i;
    return text.sliced(i).startsWith(QLatin1String("://"));
}

} // namespace

QList<ListedResource> ParseResourceList(QByteArrayView bytes)
{
    QList<ListedResource> resources;
    const QString text = fromGbk(bytes);
    const QStringView all(text);
    qsizetype start = 0;
    while (start <= all.size()) {
        qsizetype end = start;
        while (end < all.size() && all[end] != QLatin1Char('\r') && all[end] != QLatin1Char('\n'))
            ++end;
        const QStringView line = all.sliced(start, end - start);
        // A line ends at CR LF, a lone CR or a lone LF.
        start = end + ((end + 1 < all.size() && all[end] == QLatin1Char('\r') && all[end + 1] == QLatin1Char('\n')) ? 2 : 1);

        if (TrimBlanks(line).isEmpty())
            continue;
        // The category field ends at the first blank, or at the writer's two blanks when
        // the caption before them holds a blank of its own: 02-my music  http://a/s.mp3.
        // 02-音乐 http://a/x  y.mp3 has an address after its first blank, whose blanks
        // are its own.
        QStringView category;
        QStringView rest = line;
        qsizetype split = line.indexOf(QLatin1Char(' '));
        const qsizetype separator = line.indexOf(QLatin1String("  "));
        if (split >= 0 && separator > split && !beginsWithScheme(line.sliced(split + 1)))
            split = separator;
        if (split >= 0) {
            category = line.left(split);
            rest = line.sliced(split + 1);
        }
        if (category.contains(kDownloadedPrefix))
            resources.append({true, rest.toString(), category.toString(), line.toString()});
        else if (!category.contains(QStringLiteral("×")))
            resources.append({false, rest.toString(), category.toString(), line.toString()});
    }
    return resources;
}

ResourceListReading ReadResourceList(const QString &path)
{
    ResourceListReading reading;
    QFile file(path);
    if (!file.exists())
        return reading;
    if (!file.open(QIODevice::ReadOnly)) {
        reading.error = reason(path, QStringLiteral("无法打开文件"), file.errorString());
        return reading;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        reading.error = reason(path, QStringLiteral("无法打开文件"), file.errorString());
        return reading;
    }
    reading.resources = ParseResourceList(bytes);
    return reading;
}

} // namespace quorrel
