#pragma once
// Small text rules that addresses are cut by. Positions count from 1, as users' saved
// lists and type tables were written with.

#include <QString>

namespace quorrel {

// Where the last occurrence of sub in s begins: 1 when sub does not occur at all or only
// at position 1; 0 when s, trimmed, is empty.
qsizetype LastPos(QStringView sub, QStringView s);

// The number of positions of s whose one-character text equals c; 0 when c is not
// exactly one character.
qsizetype CountChar(QStringView c, QStringView s);

} // namespace quorrel
