#pragma once
// Profile files (INI), with the semantics users' config.ini files were written under:
// section and key names compare without regard to ASCII letter case, the first matching
// section and the first matching key win, a value is read back with at most 2047 bytes,
// and every write reaches the file before it returns. Bytes on disk are GBK.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace quorrel {

// One reading of a profile file. Reading a missing or unreadable file gives an empty
// profile: every lookup then yields its default, as a first start expects.
class Profile {
public:
    static Profile read(const QString &path);

    // The value of key in section, with blanks around it removed and one pair of
    // enclosing quotes (" or ') dropped, cut to 2047 bytes; def when there is none.
    QString value(QStringView section, QStringView key, const QString &def) const;

    // The key names of a section in file order (first section of that name only).
    QStringList keys(QStringView section) const;

private:
    QList<QByteArray> m_lines; // raw GBK lines, line ends removed
};

// Writes key = value into section of the file at path, creating the file, the section or
// the key as needed and keeping every other line byte for byte. The file is replaced as a
// whole (write, then rename), so a crash never leaves it half written.
// Returns the error message "Unable to write to <path>" when the write is refused.
std::optional<QString> WriteProfileString(const QString &path, QStringView section,
                                          QStringView key, const QString &value);

} // namespace quorrel
