#include "capture/file_pieces.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorrel {

std::unique_ptr<FilePieces> FilePieces::open(const QString &path, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = qt_error_string(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = QStringLiteral("not a regular file");
        ::close(fd);
        return nullptr;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::unique_ptr<FilePieces>(new FilePieces(fd, qint64(st.st_size)));
}

FilePieces::~FilePieces() { ::close(m_fd); }

const char *FilePieces::bytes(qint64 offset, qsizetype n)
{
    if (m_cut || offset < 0 || n < 0 || offset > m_size || n > m_size - offset)
        return nullptr;
    if (offset >= m_pieceAt && offset + n <= m_pieceAt + m_piece.size())
        return m_piece.constData() + (offset - m_pieceAt);
    const qsizetype want = qsizetype(std::min<qint64>(std::max(n, kPiece), m_size - offset));
    m_piece.resize(want);
    m_pieceAt = offset;
    qsizetype got = 0;
    while (got < want) {
        const ssize_t r = ::pread(m_fd, m_piece.data() + got, std::size_t(want - got), offset + got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += qsizetype(r);
    }
    m_piece.resize(got);
    if (got < n) {
        // The file held these bytes when it was opened.
        m_cut = true;
        m_piece = QByteArray();
        return nullptr;
    }
    return m_piece.constData();
}

} // namespace quorrel
