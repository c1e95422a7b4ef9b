#pragma once
// Text on disk is GBK (code page 936): config.ini and zywj.txt stay byte-compatible
// with the files users already have. Inside the program text is QString.
//
// The conversion is lossless for bytes. Captured addresses are bytes, and the rules work
// on 8-bit text: every byte of an address must survive filing, the duplicate test, saving
// and loading. So a byte that does not begin a valid GBK character (a lone lead byte, a
// lead byte before a byte that cannot follow it, 0xFF, raw UTF-8) is not replaced: it
// becomes the private-use character U+EF00 + byte, and toGbk turns that character back
// into the same byte. Bytes 0x80 to 0xFF give U+EF80 to U+EFFF (the range MirBSD's
// OPTU-8 uses for the same purpose).
//
// No GBK character lies in that range (GBK encodes no private-use character at all), so
// fromGbk never yields one of these characters for anything but a byte that was not GBK,
// and toGbk(fromGbk(bytes)) == bytes for any bytes. The other way round holds for text
// that fromGbk made; a byte character placed next to other text may join it into a
// double-byte character once written (0x81 before "A" is the character 0x8141), which is
// what the same bytes always meant.

#include <QByteArray>
#include <QString>

namespace quorrel {

inline constexpr char16_t kGbkByteFirst = 0xEF80; // stands for byte 0x80
inline constexpr char16_t kGbkByteLast = 0xEFFF;  // stands for byte 0xFF

// True for a character that stands for one byte that was not GBK.
constexpr bool isGbkByte(QChar ch) { return ch.unicode() >= kGbkByteFirst && ch.unicode() <= kGbkByteLast; }

// True when every byte is below 0x80: ASCII, which reads the same in GBK and Latin-1, so
// such bytes need no converter.
bool isAscii(QByteArrayView bytes);

// GBK bytes to text; a byte that does not begin a valid character becomes its byte
// character (above), so a damaged file loads everything, damage included.
QString fromGbk(QByteArrayView bytes);

// Text to GBK bytes. A byte character becomes its byte; any other character GBK cannot
// hold is written as "?".
QByteArray toGbk(QStringView text);

// The text as its bytes read it: text that fromGbk made stays as it is; byte characters
// that an edit put next to other text are joined with it where the bytes make a character.
// Equal bytes then always give equal text.
QString GbkCanonical(const QString &text);

// The text with each byte character written as %XX (upper-case hex), for showing it to
// people: the character itself has no glyph.
QString GbkBytesShown(QStringView text);

// True when byte b opens a double-byte character in code page 936. The byte after a
// lead byte belongs to that character, whatever its value (the code page's own rule).
constexpr bool isGbkLeadByte(unsigned char b) { return b >= 0x81 && b <= 0xFE; }

} // namespace quorrel
