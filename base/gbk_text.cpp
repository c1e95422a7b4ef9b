#include "base/gbk_text.h"

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

bool isAscii(QByteArrayView bytes)
{
    for (char ch : bytes)
        if (static_cast<unsigned char>(ch) >= 0x80)
            return false;
    return true;
}

bool isAscii(QStringView text)
{
    for (QChar ch : text)
        if (ch.unicode() >= 0x80)
            return false;
    return true;
}

} // namespace

QString fromGbk(QByteArrayView bytes)
{
    // Addresses and keys are nearly always ASCII, where GBK and Latin-1 agree.
    if (isAscii(bytes))
        return QString::fromLatin1(bytes);

    Converter &c = decoder();
    if (!c.valid())
        return QString::fromLatin1(bytes);
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
        // EILSEQ or EINVAL (a lead byte at the very end): one replacement character for
        // the offending byte, then go on with the next.
        const char16_t replacement = 0xFFFD;
        std::memcpy(out, &replacement, 2);
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
    if (!c.valid())
        return text.toLatin1();
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
        // A character GBK has no code for: "?" in its place. A surrogate pair counts as
        // one character.
        char16_t units[2] = {};
        std::memcpy(units, in, inLeft >= 4 ? 4 : 2);
        const bool pair = inLeft >= 4 && QChar::isHighSurrogate(units[0]) && QChar::isLowSurrogate(units[1]);
        *out++ = '?';
        --outLeft;
        in += pair ? 4 : 2;
        inLeft -= pair ? 4 : 2;
    }
    result.truncate(out - outStart);
    return result;
}

} // namespace quorrel
