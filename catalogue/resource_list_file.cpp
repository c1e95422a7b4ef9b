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
    return QStringLiteral("%1 \"%2\". %3").arg(what, QFileInfo(path).absoluteFilePath(), why);
}

} // namespace

QByteArray ResourceListBytes(const ResourceTree &tree)
{
    QString text;
    tree.forEachPreOrder([&text](TreeNode *node, int) {
        const TreeNode *parent = node->parent();
        if (!parent)
            return; // the roots, and resources filed at the top level
        const QStringView link = TrimBlanks(QStringView(node->Link()));
        if (link.size() < 8)
            return; // categories: their Link is a type number
        text += oneLine(TrimBlanks(QStringView(parent->caption())));
        text += QLatin1String("  ");
        text += oneLine(link);
        text += QLatin1String("\r\n");
    });
    return toGbk(text);
}

std::optional<QString> SaveResourceList(const ResourceTree &tree, const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return reason(path, QStringLiteral("Cannot create file"), file.errorString());
    const QByteArray bytes = ResourceListBytes(tree);
    if (file.write(bytes) != bytes.size() || !file.commit())
        return reason(path, QStringLiteral("Cannot create file"), file.errorString());
    return std::nullopt;
}

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
        // The category field ends at the first blank. A category caption may hold blanks
        // of its own (type names are the user's); the writer puts two blanks before the
        // address, so where a line has two blanks in a row the field ends there.
        QStringView category;
        QStringView rest = line;
        qsizetype split = line.indexOf(QLatin1String("  "));
        if (split < 0)
            split = line.indexOf(QLatin1Char(' '));
        if (split >= 0) {
            category = line.left(split);
            rest = line.sliced(split + 1);
        }
        if (category.contains(kDownloadedPrefix))
            resources.append({true, rest.toString(), category.toString()});
        else if (!category.contains(QStringLiteral("×")))
            resources.append({false, rest.toString(), category.toString()});
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
        reading.error = reason(path, QStringLiteral("Cannot open file"), file.errorString());
        return reading;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        reading.error = reason(path, QStringLiteral("Cannot open file"), file.errorString());
        return reading;
    }
    reading.resources = ParseResourceList(bytes);
    return reading;
}

} // namespace quorrel
