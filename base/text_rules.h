#pragma once
// Small text rules that addresses are cut by. Positions count from 1, as users' saved
// lists and type tables were written with.

#include <QString>

namespace quorrel {

// The longest address a captured request may name, counted as its authority and path in
// bytes. Servers refuse longer request lines (nginx: 8 KiB, "414 Request-URI Too Large"),
// and HTTP/2's header compression names a long value stored once with a byte or two per
// request: a request over it is dropped (and counted) by every road, never filed.
inline constexpr qsizetype kMaxAddressBytes = 8 * 1024;

// Where the last occurrence of sub in s begins: 1 when sub does not occur at all or only
// at position 1; 0 when s, trimmed, is empty.
qsizetype LastPos(QStringView sub, QStringView s);

// The number of positions of s whose one-character text equals c; 0 when c is not
// exactly one character.
qsizetype CountChar(QStringView c, QStringView s);

} // namespace quorrel
