#pragma once
// Why this user may not run the capture helper, told so the user can do something about
// it. Capture rights belong to the members of the helper's group (quorrel when installed
// by ./quorrel.sh): the helper is root:quorrel, mode 0750.

#include <QString>

namespace quorrel {

// The reason the program at path cannot be run by this process, with what to do; empty
// when it can be run.
QString HelperAccessProblem(const QString &path);

} // namespace quorrel
