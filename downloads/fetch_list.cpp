#include "downloads/fetch_list.h"

#include "base/gbk_text.h"
#include "base/gydy.h"
#include "catalogue/resource_list_file.h"

#include <QRegularExpression>

namespace quorrel {

QString AddressFromListText(const QString &text)
{
    QString s = TrimBlanks(text);
    s.remove(QStringLiteral("\\\""));
    s.remove(QLatin1Char('"'));
    s.remove(QLatin1Char('\''));
    const qsizetype tilde = s.indexOf(QLatin1Char('~'));
    if (tilde >= 0)
        s.remove(0, tilde + 1);
    return TrimBlanks(s);
}

QString CategoryName(const QString &caption)
{
    const QString name = TrimBlanks(caption);
    return name.startsWith(kDownloadedPrefix) ? name.mid(kDownloadedPrefix.size()) : name;
}

namespace {

// A line of quorrel-scan's output: depth, caption, mark, link, icon.
bool scanLine(const QString &line, int &depth, QStringList &fields)
{
    fields = line.split(QLatin1Char('\t'));
    return fields.size() == 5 && ReadDecimal(fields[0], depth) && depth >= 0;
}

} // namespace

QList<FetchItem> ReadFetchList(const QByteArray &bytes, const QStringList &categories)
{
    QStringList wanted;
    for (const QString &c : categories)
        wanted << CategoryName(c);
    const auto take = [&](const QString &category) { return wanted.isEmpty() || wanted.contains(CategoryName(category)); };

    // Scan output is UTF-8; the resource list is GBK. A text that reads as UTF-8 is taken
    // as such, anything else as GBK.
    QString text = QString::fromUtf8(bytes);
    if (text.contains(QChar::ReplacementCharacter))
        text = fromGbk(bytes);

    QList<FetchItem> items;
    QStringList parents; // scan output: the caption at each depth above the current line
    for (const QString &raw : text.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")))) {
        int depth = 0;
        QStringList f;
        if (scanLine(raw, depth, f)) {
            parents.resize(depth);
            parents.append(f[1]);
            const QString mark = TrimBlanks(f[2]);
            if (mark.startsWith(QLatin1Char('+')) || TrimBlanks(f[3]).isEmpty())
                continue; // a root or a category
            const QString category = depth > 0 ? parents[depth - 1] : QString();
            if (take(category))
                items.append({TrimBlanks(f[3]), CategoryName(category)});
            continue;
        }
        for (const ListedResource &r : ParseResourceList(toGbk(raw))) {
            const QString address = AddressFromListText(r.text);
            if (!address.isEmpty() && take(r.category))
                items.append({address, CategoryName(r.category)});
        }
    }
    return items;
}

} // namespace quorrel
