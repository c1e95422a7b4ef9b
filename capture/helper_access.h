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

// Whether this process, running the program at path, can capture: it may run it, and the
// program holds cap_net_raw (or this process is root).
bool HelperCanCapture(const QString &path);

// The helper to start: the program's own (beside it), unless that one cannot capture and
// the installed one can. Capture rights are root's to give, and root gives them only to a
// helper root built: a user without sudo captures through the helper an administrator
// installed with the package, never through rights granted to a file the user can change.
QString ChooseCaptureHelper(const QString &own, const QString &installed);

// Where the package installs the helper.
QString InstalledCaptureHelper();

} // namespace quorrel
