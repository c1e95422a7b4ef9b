#pragma once
// A capture file read in bounded pieces, front to back, never mapped: the memory it takes
// does not grow with the file, and a file that another program cuts short while it is
// read ends the reading with a reason (a mapping would take SIGBUS past the new end).

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <memory>

namespace quorrel {

inline const QString kFileCutWhileRead = QStringLiteral("the file was cut while it was read");

class FilePieces {
public:
    // How much is read at a time; a larger piece asked for is read whole.
    static constexpr qsizetype kPiece = 1024 * 1024;

    // Nothing when the file cannot be opened, or is not a regular file (error says why).
    static std::unique_ptr<FilePieces> open(const QString &path, QString &error);
    ~FilePieces();
    FilePieces(const FilePieces &) = delete;
    FilePieces &operator=(const FilePieces &) = delete;

    // The file's size when it was opened: what the reading expects to find.
    qint64 size() const { return m_size; }
    // The n bytes at offset, which must lie within size(); valid until the next call.
    // nullptr when the file no longer holds them: cut() is then true.
    const char *bytes(qint64 offset, qsizetype n);
    bool cut() const { return m_cut; }

private:
    FilePieces(int fd, qint64 size) : m_fd(fd), m_size(size) {}
    int m_fd;
    qint64 m_size;
    QByteArray m_piece;
    qint64 m_pieceAt = 0;
    bool m_cut = false;
};

} // namespace quorrel
