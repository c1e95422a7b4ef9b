#include "downloads/save_name.h"

#include "base/percent_text.h"

#include <QFile>

#include <algorithm>

namespace quorrel {
namespace {

qsizetype fileSystemBytes(QStringView text)
{
    return QFile::encodeName(text.toString()).size();
}

// stem + tail, the stem cut (between characters, never inside an escape it made) so that the
// whole stays within kMaxFileNameBytes.
QString fitted(QString stem, const QString &tail)
{
    const qsizetype room = kMaxFileNameBytes - fileSystemBytes(tail);
    if (fileSystemBytes(stem) <= room)
        return stem + tail;
    const QString whole = stem;
    while (!stem.isEmpty() && fileSystemBytes(stem) > room) {
        qsizetype cut = stem.size() - 1;
        if (cut > 0 && stem[cut].isLowSurrogate() && stem[cut - 1].isHighSurrogate())
            --cut;
        stem.truncate(cut);
    }
    // An escape cut in two would read as other text: it goes whole.
    for (qsizetype back = 1; back <= 2 && back <= stem.size(); ++back)
        if (IsPercentEscape(whole, stem.size() - back)) {
            stem.truncate(stem.size() - back);
            break;
        }
    return stem + tail;
}

// The extension of a name, with its dot: what follows the last "." that is not the first
// character, when it is short enough to be one (a long tail after a dot is part of the name).
qsizetype extensionStart(const QString &name)
{
    constexpr qsizetype kMaxExtensionBytes = 32;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || fileSystemBytes(QStringView(name).sliced(dot)) > kMaxExtensionBytes)
        return name.size();
    return dot;
}

} // namespace

QString SaveFileName(const QString &address)
{
    QStringView path(address);
    const qsizetype end = std::find_if(path.begin(), path.end(), [](QChar c) { return c == u'?' || c == u'#'; }) - path.begin();
    path = path.first(end);
    const qsizetype scheme = path.indexOf(QLatin1String("://"));
    if (scheme >= 0 && path.indexOf(u'/', scheme + 3) < 0)
        return {}; // "http://host": no path, no name
    const QStringView segment = path.sliced(path.lastIndexOf(u'/') + 1);
    QString name = DecodePercentName(segment);
    if (name == QLatin1String(".") || name == QLatin1String("..")) {
        // The segment as written, its dots escaped when it is the dots themselves.
        name = segment.toString();
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            name.replace(QLatin1Char('.'), QLatin1String("%2E"));
    }
    const qsizetype dot = extensionStart(name);
    return fitted(name.left(dot), name.mid(dot));
}

QString NumberedFileName(const QString &name, int n)
{
    const qsizetype dot = extensionStart(name);
    return fitted(name.left(dot), QStringLiteral(" (") + QString::number(n) + QLatin1Char(')') + name.mid(dot));
}

QString PartialPath(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString name = path.mid(slash + 1);
    const qsizetype dot = extensionStart(name);
    return path.left(slash + 1) + fitted(name.left(dot), name.mid(dot) + kPartialSuffix);
}

} // namespace quorrel
