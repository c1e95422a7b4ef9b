#include "base/gydy.h"

#include <QCoreApplication>
#include <limits>

namespace quorrel {

QString AppDir()
{
    return QCoreApplication::applicationDirPath();
}

QString AppFile(const QString &dir, const QString &name)
{
    if (dir.endsWith(QLatin1Char('/')))
        return dir + name;
    return dir + QLatin1Char('/') + name;
}

QString PathDirectory(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    if (slash == 0)
        return QStringLiteral("/"); // the root keeps its separator, like a drive root
    return path.left(slash);
}

QString ZeroPad(long long number, int width)
{
    // Called for every filed address: digits by hand, no intermediate strings.
    char16_t digits[24];
    int n = 0;
    const bool negative = number < 0;
    unsigned long long v = negative ? 0ULL - static_cast<unsigned long long>(number) : static_cast<unsigned long long>(number);
    do {
        digits[n++] = static_cast<char16_t>(u'0' + v % 10);
        v /= 10;
    } while (v);
    if (negative)
        digits[n++] = u'-';
    const int pad = width > n ? width - n : 0;
    QString text(pad + n, QLatin1Char('0'));
    QChar *out = text.data() + pad;
    while (n)
        *out++ = QChar(digits[--n]);
    return text;
}

QStringView TrimBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin].unicode() <= 32)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= 32)
        --end;
    return text.sliced(begin, end - begin);
}

QString TrimBlanks(const QString &text)
{
    const QStringView trimmed = TrimBlanks(QStringView(text));
    if (trimmed.size() == text.size())
        return text; // shares the data: most texts have nothing to trim
    return trimmed.toString();
}

bool ReadDecimal(QStringView text, int &value)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        return false;
    long long n = 0;
    for (; i < text.size(); ++i) {
        const char16_t ch = text[i].unicode();
        if (ch < u'0' || ch > u'9')
            return false;
        n = n * 10 + (ch - u'0');
        if (n > static_cast<long long>(std::numeric_limits<int>::max()) + 1)
            return false;
    }
    if (negative)
        n = -n;
    if (n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(n);
    return true;
}

} // namespace quorrel
