#pragma once
// Helpers shared by every part of the program: the program's folder and its files, and the
// small text and number rules the files are written with.

#include <QString>

namespace quorrel {

// The folder of the running program, without a trailing "/" (except "/" itself).
// Every file of the program is AppFile(name). Needs a QCoreApplication.
QString AppDir();

// dir + "/" + name, without doubling a "/" that dir already ends with.
QString AppFile(const QString &dir, const QString &name);

// The text before the last "/" of a path; "/" when that last "/" is the first character;
// empty when the path has no "/".
QString PathDirectory(const QString &path);

// number in decimal, widened with leading "0" to at least width characters.
QString ZeroPad(long long number, int width);

// Removes every character with a code of 32 or less from both ends.
QString TrimBlanks(const QString &text);
QStringView TrimBlanks(QStringView text);

// Reads text as a decimal integer: an optional sign and digits, nothing else, within
// the range of int. Returns false for anything else (empty text included).
bool ReadDecimal(QStringView text, int &value);

} // namespace quorrel
