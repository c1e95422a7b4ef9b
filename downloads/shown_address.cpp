#include "downloads/shown_address.h"

#include "base/gbk_text.h"
#include "downloads/ftp_address.h"

#include <algorithm>

namespace quorrel {
namespace {

QString escapeOf(unsigned byte)
{
    return QLatin1Char('%') + QString::number(byte, 16).rightJustified(2, QLatin1Char('0')).toUpper();
}

// Where the login ends: the "@" after it, or -1 when the address carries none.
qsizetype loginEnd(const QString &address, qsizetype from)
{
    if (AddressScheme(address) == 2)
        return address.indexOf(QLatin1Char('@'), from);
    const auto end = std::find_if(address.begin() + from, address.end(),
                                  [](QChar c) { return c == u'/' || c == u'?' || c == u'#'; });
    const qsizetype authorityEnd = end - address.begin();
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'), authorityEnd - 1);
    return at >= from ? at : -1;
}

} // namespace

QString ShownAddress(const QString &address)
{
    QString text = address;
    const qsizetype scheme = text.indexOf(QLatin1String("://"));
    if (scheme >= 0) {
        const qsizetype from = scheme + 3;
        const qsizetype at = loginEnd(text, from);
        const qsizetype colon = at < 0 ? -1 : text.indexOf(QLatin1Char(':'), from);
        if (colon >= 0 && colon < at)
            text.replace(colon + 1, at - colon - 1, kHiddenPassword);
    }
    return ShownText(text);
}

QString ShownText(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        if (isGbkByte(ch))
            shown += escapeOf(u - kGbkByteFirst + 0x80);
        else if (u < 0x20 || u == 0x7F)
            shown += escapeOf(u);
        else if (u >= 0x80 && u <= 0x9F) // C1, as its UTF-8 bytes
            shown += escapeOf(0xC2) + escapeOf(u);
        else
            shown += ch;
    }
    return shown;
}

} // namespace quorrel
