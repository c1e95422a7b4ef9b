#pragma once
// Reading a download address: which client takes it, and for FTP the login and the place
// of the file. Text rules only: nothing here touches the network.

#include <QString>

namespace quorrel {

// The password of an anonymous login: e-mail-like, as FTP servers ask of anonymous users
// (RFC 1635).
inline const QString kAnonymousUser = QStringLiteral("anonymous");
inline const QString kAnonymousPassword = QStringLiteral("anon@quorrel");

// 2 when the address, lower-cased, begins with "ftp"; else 1 when it begins with "http"
// (so https too); else 0. No blanks are trimmed: the caller passes a trimmed address.
int AddressScheme(const QString &address);

struct FtpAddress {
    QString user;
    QString password;
    QString host;
    QString port;      // as text; a caller reads it as a decimal number
    QString directory; // "/" followed by the path between the first and the last "/"
    QString fileName;
    // The address names a user but no password: the caller asks for one (the window with
    // an input box, a command-line tool on its terminal) and puts the answer in password.
    // A cancelled question leaves the password empty.
    bool passwordMissing = false;
};

// Splits an FTP address into its login, host, port, directory and file name:
//   ftp://host/a.zip                  anonymous, host, 21, "/", a.zip
//   ftp://u:pw@host:2121/pub/docs/a.zip  u, pw, host, 2121, "/pub/docs", a.zip
//   ftp://bob@host/x/y.iso            bob (password missing), host, 21, "/x", y.iso
// The rules are positional, not a URL parser's: an "@" in the path, for instance, still
// ends the login part, and a host may come out empty.
FtpAddress ParseFtpAddress(const QString &address);

} // namespace quorrel
