#pragma once
// The name a download is saved under: the last segment of the address's path, its percent-
// escapes decoded where they make text, and made safe for the file system. The address
// itself is never changed: it is fetched, saved in zywj.txt and put on the clipboard exactly
// as captured. The window's tasks and quorrel-fetch name their files by this one rule.

#include "base/percent_text.h"

#include <QString>

namespace quorrel {

// Linux file systems hold at most 255 bytes in one name (NAME_MAX).
inline constexpr qsizetype kMaxFileNameBytes = 255;

// The save name of address: the text after the last "/" of its path (the query and the
// fragment are not part of it, RFC 3986 3.4 and 3.5), decoded as above. What could not be
// a safe name stays escaped: a decoded "/" or "\0", control characters and the bidirectional
// controls that can make a name read otherwise than it is (so "a%2Fb" stays "a%2Fb", and
// "..%2F.." cannot climb out of the save folder), bytes that were not GBK text, and a name
// that would be "." or "..". At most kMaxFileNameBytes bytes of UTF-8 (the file names'
// encoding), cut before the extension. Empty when the path ends in "/" or the address has
// no path; an address with no "/" at all is a name as a whole.
QString SaveFileName(const QString &address);

// name with " (n)" before its extension, within the same bound: ("clip.mp4", 2) gives
// "clip (2).mp4", as browsers name a second download of the same name.
QString NumberedFileName(const QString &name, int n);

// Where a download is written until it is whole: path + ".part" (its name cut before the
// extension when that would pass kMaxFileNameBytes). At the end it is renamed to path, so a
// file under the final name is always a whole download, and a ".part" file is always one of
// this program's, the only kind it resumes.
QString PartialPath(const QString &path);
inline const QString kPartialSuffix = QStringLiteral(".part");

} // namespace quorrel
