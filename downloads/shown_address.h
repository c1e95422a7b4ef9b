#pragma once
// An address as the program prints it (quorrel-fetch's lines, the reasons of failed
// transfers): a password it carries replaced, and nothing that a terminal would act on.
// The address itself, as downloaded and saved, is never changed.

#include <QString>

namespace quorrel {

// What stands for a password in a shown address.
inline const QString kHiddenPassword = QStringLiteral("***");

// address with the password of its "user:password@" replaced by kHiddenPassword (the user
// name stays: it says which login was used), and each control character (C0, DEL, C1: ESC
// and BEL sequences would retitle or clear a terminal) and each byte that was not GBK
// written as %XX, as quorrel-scan writes them. For an ftp address the login is what
// ParseFtpAddress takes (the text before the first "@"), for any other the userinfo of
// RFC 3986 (3.2.1), before the last "@" of the authority.
QString ShownAddress(const QString &address);

// text with its control characters and bytes that were not GBK written as %XX, as above:
// for what a server or a list said, on its way to a terminal.
QString ShownText(const QString &text);

} // namespace quorrel
