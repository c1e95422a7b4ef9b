#pragma once
// Why this user may not run the capture helper, told so the user can do something about
// it. Capture rights belong to the members of the helper's group (quorrel, made by the
// package or by ./quorrel.sh): the helper is root:quorrel, mode 0750.

#include <QString>

namespace quorrel {

// The reason the program at path cannot be run by this process, with what to do; empty
// when it can be run. What to do depends on where the program lies: installed
// (ProgramIsInstalled), an administrator adds the user to the group; in a build folder,
// ./quorrel.sh can set it up too.
QString HelperAccessProblem(const QString &path);

// What to do about the helper at path when it runs but cannot capture for want of its
// capabilities, in the same two cases.
QString MissingRightsRemedy(const QString &path);

} // namespace quorrel
