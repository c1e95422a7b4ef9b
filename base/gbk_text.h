#pragma once
// Text on disk is GBK (code page 936): config.ini and zywj.txt stay byte-compatible
// with the files users already have. Inside the program text is QString.

#include <QByteArray>
#include <QString>

namespace quorrel {

// GBK bytes to text. A byte sequence that is not GBK becomes U+FFFD, one per bad byte,
// so a damaged file still loads everything around the damage.
QString fromGbk(QByteArrayView bytes);

// Text to GBK bytes. A character GBK cannot hold is written as "?".
QByteArray toGbk(QStringView text);

// True when byte b opens a double-byte character in code page 936. The byte after a
// lead byte belongs to that character, whatever its value (the code page's own rule).
constexpr bool isGbkLeadByte(unsigned char b) { return b >= 0x81 && b <= 0xFE; }

} // namespace quorrel
