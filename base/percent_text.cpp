#include "base/percent_text.h"

#include "base/gbk_text.h"

#include <QList>
#include <QStringDecoder>

#include <algorithm>

namespace quorrel {
namespace {

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

bool isEscapeAt(QStringView text, qsizetype at)
{
    return at + 2 < text.size() && text[at] == u'%' && hexValue(text[at + 1]) >= 0 && hexValue(text[at + 2]) >= 0;
}

// "%XX", upper-case hex (RFC 3986, 2.1).
QString escapeOf(unsigned byte)
{
    return QLatin1Char('%') + QString::number(byte, 16).rightJustified(2, QLatin1Char('0')).toUpper();
}

// One character decoded from escapes, with the escapes it came from.
struct Piece {
    QString text;
    QString escaped;
};

bool strictUtf8(QByteArrayView bytes, QString *text = nullptr)
{
    // A byte-order mark is a character here, not a mark to drop.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    const QString decoded = decoder.decode(bytes);
    if (decoder.hasError())
        return false;
    if (text)
        *text = decoded;
    return true;
}

bool strictGbk(QByteArrayView bytes)
{
    const QString decoded = fromGbk(bytes);
    return std::none_of(decoded.begin(), decoded.end(), isGbkByte);
}

// The length of the UTF-8 character that lead opens (RFC 3629, 4); 0 for a byte that opens none.
int utf8Length(unsigned char lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// A run of escapes, character by character, in the encoding its bytes make as a whole.
QList<Piece> decodeRun(const QByteArray &bytes, const QStringList &escapes)
{
    enum class As { Utf8, Gbk, Each } as = strictUtf8(bytes) ? As::Utf8 : strictGbk(bytes) ? As::Gbk : As::Each;
    QList<Piece> pieces;
    qsizetype i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        qsizetype length = 1;
        QString text;
        if (as == As::Gbk) {
            length = isGbkLeadByte(lead) ? 2 : 1;
            text = fromGbk(QByteArrayView(bytes).sliced(i, length));
        } else {
            length = utf8Length(lead);
            if (length == 0 || i + length > bytes.size() || !strictUtf8(QByteArrayView(bytes).sliced(i, length), &text)) {
                length = 1;
                text.clear(); // no character: the escape stays
            }
        }
        QString escaped;
        for (qsizetype k = i; k < i + length; ++k)
            escaped += escapes[k];
        pieces.append({text, escaped});
        i += length;
    }
    return pieces;
}

// Characters neither shown nor named as they are: NUL and the other C0 and C1 controls (a
// terminal or a list of files would act on them), and the bidirectional controls of Unicode
// (UAX #9), with which "clip\u202Egpj.exe" shows as "clipexe.jpg". A file name holds no
// separator either.
bool unsafe(char32_t c, bool name)
{
    return (name && c == U'/') || c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool safePiece(const QString &text, bool name)
{
    if (text.isEmpty())
        return false;
    const QList<uint> codes = text.toUcs4();
    return std::none_of(codes.begin(), codes.end(), [name](uint c) { return unsafe(char32_t(c), name); });
}

QString escapedUtf8(QStringView text)
{
    QString out;
    for (char byte : text.toUtf8())
        out += escapeOf(static_cast<unsigned char>(byte));
    return out;
}

// A character of the address as captured, made safe: a byte that was not GBK and a control
// character become %XX.
QString safeRaw(QStringView ch)
{
    if (ch.size() == 1 && isGbkByte(ch[0]))
        return escapeOf(ch[0].unicode() - kGbkByteFirst + 0x80);
    return safePiece(ch.toString(), true) ? ch.toString() : escapedUtf8(ch);
}

// Decodes text; what may not be shown stays escaped, and with name, what a file name may
// not hold, the address's own characters included.
QString decode(QStringView text, bool name)
{
    QString out;
    qsizetype i = 0;
    while (i < text.size()) {
        if (isEscapeAt(text, i)) {
            QByteArray bytes;
            QStringList escapes;
            while (isEscapeAt(text, i)) {
                bytes += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
                escapes << text.sliced(i, 3).toString();
                i += 3;
            }
            for (const Piece &p : decodeRun(bytes, escapes))
                out += !safePiece(p.text, name) ? p.escaped : p.text;
            continue;
        }
        // A surrogate pair is one character.
        const qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate() ? 2 : 1;
        out += name ? safeRaw(text.sliced(i, length)) : text.sliced(i, length).toString();
        i += length;
    }
    return out;
}

} // namespace

QString DecodePercentText(QStringView text)
{
    // The tree asks this of every caption it paints; most have no escape at all.
    if (!text.contains(u'%'))
        return text.toString();
    return decode(text, false);
}

QString DecodePercentName(QStringView text)
{
    return decode(text, true);
}

bool IsPercentEscape(QStringView text, qsizetype at)
{
    return isEscapeAt(text, at);
}

} // namespace quorrel
