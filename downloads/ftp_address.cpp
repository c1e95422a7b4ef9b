#include "downloads/ftp_address.h"

namespace quorrel {
namespace {

// Only ASCII letters change: the scheme words are ASCII, and every other character keeps
// its place, so positions found in the lowered text hold in the original.
QString asciiLower(const QString &text)
{
    QString lowered = text;
    for (QChar &c : lowered)
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    return lowered;
}

} // namespace

int AddressScheme(const QString &address)
{
    const QString lowered = asciiLower(address);
    if (lowered.startsWith(QLatin1String("ftp")))
        return 2;
    if (lowered.startsWith(QLatin1String("http")))
        return 1;
    return 0;
}

FtpAddress ParseFtpAddress(const QString &address)
{
    FtpAddress a;
    QString s = address;
    if (asciiLower(address).contains(QLatin1String("ftp://")))
        s.remove(0, 6);

    const qsizetype at = s.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString credentials = s.left(at);
        s = s.mid(at + 1);
        const qsizetype colon = credentials.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            a.user = credentials.left(colon);
            a.password = credentials.mid(colon + 1);
        } else {
            a.user = credentials;
            a.passwordMissing = true;
        }
    } else {
        a.user = kAnonymousUser;
        a.password = kAnonymousPassword;
    }

    const qsizetype colon = s.indexOf(QLatin1Char(':'));
    const qsizetype slash = s.indexOf(QLatin1Char('/'));
    if (colon >= 0) {
        a.port = slash > colon ? s.mid(colon + 1, slash - colon - 1) : QString();
        a.host = s.left(colon);
    } else {
        a.port = QStringLiteral("21");
        a.host = slash >= 0 ? s.left(slash) : QString();
    }

    const qsizetype lastSlash = s.lastIndexOf(QLatin1Char('/'));
    a.fileName = s.mid(lastSlash + 1); // all of s when it has no "/"
    a.directory = QStringLiteral("/");
    if (lastSlash > slash)
        a.directory += s.mid(slash + 1, lastSlash - slash - 1);
    return a;
}

} // namespace quorrel
