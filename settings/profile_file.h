#pragma once
// Profile files (INI), with the semantics users' config.ini files were written under:
// section and key names compare without regard to ASCII letter case, the first matching
// section and the first matching key win, a value is read back with at most 2047 bytes,
// and every write reaches the file before it returns. Bytes on disk are GBK.
//
// Line forms: "[name]" opens a section (blanks around the line and the name ignored, text
// after the "]" too); "key=value" is an entry (blanks and tabs around key and value
// ignored). Any other line, and every line before the first section, holds no value. Lines
// end with CR LF, CR or LF.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace quorrel {

// The most bytes of GBK a value is read back with: the 2048-byte buffer (terminator
// included) that users' files were always read through.
inline constexpr qsizetype kProfileValueMaxBytes = 2047;

// One reading of a profile file. Reading a missing or unreadable file gives an empty
// profile: every lookup then yields its default, as a first start expects. An unreadable
// file (one that exists) also leaves its reason in readError().
class Profile {
public:
    static Profile read(const QString &path);

    // The value of key in section, with blanks and tabs around it removed and one pair of
    // enclosing quotes (" or ') dropped, then cut to 2047 bytes of GBK without splitting a
    // double-byte character; def when there is none.
    QString value(QStringView section, QStringView key, const QString &def) const;

    // The key names of a section's entries in file order, each name once, spelled as at its
    // first occurrence (first section of that name only).
    QStringList keys(QStringView section) const;

    // "Unable to read <path>" when the file exists but could not be read.
    const std::optional<QString> &readError() const { return m_readError; }

private:
    struct Section {
        QHash<QByteArray, QByteArray> values; // folded key name -> raw value of its first entry
        QStringList keys;                     // first spellings, file order
    };
    QHash<QByteArray, Section> m_sections; // folded section name -> first section of that name
    std::optional<QString> m_readError;
};

// Writes key = value into section of the file at path, creating the file, the section or
// the key as needed and keeping every other line byte for byte: the first entry of key in
// the first section of that name is replaced, a missing key is added after the last
// non-blank line of its section, a missing section is added at the end of the file. Written
// lines end with CR LF. The file is replaced as a whole (write, then rename), so a crash never
// leaves it half written; in a folder that refuses new files an existing writable file is
// written in place instead.
// Returns "Unable to write to <full path>" when the write is refused (the file cannot be
// read, created or replaced). A section, key or value that would not read back as written
// (a line break; "=" in a key; "]" in a section name; an empty name; a character GBK has no
// code for) is refused as well, with that message followed by ": " and the reason, and the
// file is left alone.
std::optional<QString> WriteProfileString(const QString &path, QStringView section,
                                          QStringView key, const QString &value);

// Several entries of one section, in order, as one write: each is checked first, and when
// any is refused nothing is written. The file then holds either every new value or none.
struct ProfileEntry {
    QString key;
    QString value;
};
std::optional<QString> WriteProfileStrings(const QString &path, QStringView section,
                                           const QList<ProfileEntry> &entries);

} // namespace quorrel
