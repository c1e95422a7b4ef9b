#pragma once
// Where the key log of the watched browser is: the file SSLKEYLOGFILE names when it is set
// (the variable browsers and curl read themselves), else the file the launcher's browser
// writes, $XDG_RUNTIME_DIR/quorrel/tls-keys.log (a private folder of the user's session).

#include <QString>

namespace quorrel::streams {

// The runtime folder the launcher and the program agree on: $XDG_RUNTIME_DIR, or, where the
// session has none, /tmp/quorrel-<uid> (quorrel.sh makes it 0700 and checks its owner).
QString RuntimeFolder();

QString DefaultKeyLogPath();

} // namespace quorrel::streams
