#include "base/gbk_text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace quorrel {
namespace {

// One converter per direction and thread: opening a converter costs more than most of
// the texts it converts. iconv(3) keeps state, so it must not be shared between threads.
class Converter {
public:
    Converter(const char *to, const char *from) : m_cd(iconv_open(to, from)) {}
    ~Converter()
    {
        if (m_cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(m_cd);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts as much as it can; returns false at a sequence it cannot convert,
    // with in/out advanced up to that point.
    bool run(char *&in, size_t &inLeft, char *&out, size_t &outLeft)
    {
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        return iconv(m_cd, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1);
    }

private:
    iconv_t m_cd;
};

Converter &decoder()
{
    thread_local Converter c("UTF-16LE", "GBK");
    return c;
}

Converter &encoder()
{
    thread_local Converter c("GBK", "UTF-16LE");
    return c;
}

bool isAscii(QStringView text)
{
    for (QChar ch : text)
        if (ch.unicode() >= 0x80)
            return false;
    return true;
}

} // namespace

bool isAscii(QByteArrayView bytes)
{
    for (char ch : bytes)
        if (static_cast<unsigned char>(ch) >= 0x80)
            return false;
    return true;
}

QString fromGbk(QByteArrayView bytes)
{
    // Addresses and keys are nearly always ASCII, where GBK and Latin-1 agree.
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);

    Converter &c = decoder();
    if (!c.valid()) {
        // No converter: ASCII as it is, every other byte as its byte character.
        QString bytesOnly(bytes.size(), Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            const auto b = static_cast<unsigned char>(bytes[i]);
            bytesOnly[i] = QChar(b < 0x80 ? char16_t(b) : char16_t(kGbkByteFirst - 0x80 + b));
        }
        return bytesOnly;
    }
    QString result(bytes.size(), Qt::Uninitialized); // never more characters than bytes
    char *in = const_cast<char *>(bytes.data());
    size_t inLeft = static_cast<size_t>(bytes.size());
    char *outStart = reinterpret_cast<char *>(result.data());
    char *out = outStart;
    size_t outLeft = static_cast<size_t>(result.size()) * 2;
    while (inLeft > 0) {
        if (c.run(in, inLeft, out, outLeft))
            break;
        if (errno == E2BIG)
            break; // cannot happen: each GBK character is at least one byte
        // EILSEQ or EINVAL (a lead byte at the very end): the offending byte as its byte
        // character, then go on with the next.
        const auto b = static_cast<unsigned char>(*in);
        const char16_t byte = b < 0x80 ? char16_t(b) : char16_t(kGbkByteFirst - 0x80 + b);
        std::memcpy(out, &byte, 2);
        out += 2;
        outLeft -= 2;
        ++in;
        --inLeft;
    }
    result.truncate(static_cast<qsizetype>((out - outStart) / 2));
    return result;
}

QByteArray toGbk(QStringView text)
{
    if (isAscii(text)) {
        QByteArray ascii(text.size(), Qt::Uninitialized);
        for (qsizetype i = 0; i < text.size(); ++i)
            ascii[i] = static_cast<char>(text[i].unicode());
        return ascii;
    }

    Converter &c = encoder();
    QByteArray result(text.size() * 2, Qt::Uninitialized); // at most two bytes a character
    if (!c.valid()) {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar ch = text[i];
            result[i] = ch.unicode() < 0x80 ? char(ch.unicode())
                                            : isGbkByte(ch) ? char(ch.unicode() - kGbkByteFirst + 0x80) : '?';
        }
        result.truncate(text.size());
        return result;
    }
    char *in = reinterpret_cast<char *>(const_cast<QChar *>(text.data()));
    size_t inLeft = static_cast<size_t>(text.size()) * 2;
    char *outStart = result.data();
    char *out = outStart;
    size_t outLeft = static_cast<size_t>(result.size());
    while (inLeft > 0) {
        if (c.run(in, inLeft, out, outLeft))
            break;
        if (errno == E2BIG)
            break;
        // A character GBK has no code for: the byte a byte character stands for, "?" for
        // any other. A surrogate pair counts as one character.
        char16_t units[2] = {};
        std::memcpy(units, in, inLeft >= 4 ? 4 : 2);
        const bool pair = inLeft >= 4 && QChar::isHighSurrogate(units[0]) && QChar::isLowSurrogate(units[1]);
        *out++ = isGbkByte(QChar(units[0])) ? static_cast<char>(units[0] - kGbkByteFirst + 0x80) : '?';
        --outLeft;
        in += pair ? 4 : 2;
        inLeft -= pair ? 4 : 2;
    }
    result.truncate(out - outStart);
    return result;
}

QString GbkCanonical(const QString &text)
{
    if (std::none_of(text.begin(), text.end(), isGbkByte))
        return text;
    return fromGbk(toGbk(text));
}

QString GbkBytesShown(QStringView text)
{
    if (std::none_of(text.begin(), text.end(), isGbkByte))
        return text.toString();
    QString shown;
    shown.reserve(text.size());
    for (QChar ch : text) {
        if (isGbkByte(ch)) {
            const unsigned byte = ch.unicode() - kGbkByteFirst + 0x80;
            shown += QLatin1Char('%');
            shown += QLatin1Char("0123456789ABCDEF"[byte >> 4]);
            shown += QLatin1Char("0123456789ABCDEF"[byte & 0xF]);
        } else {
            shown += ch;
        }
    }
    return shown;
}

} // namespace quorrel
