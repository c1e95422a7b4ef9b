#include "intake/capture_file.h"

#include "capture/file_pieces.h"
#include "capture/link_layer.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorrel {

namespace {
constexpr qint64 kEarliestSeconds = -62135596800; // 0001-01-01T00:00:00Z
constexpr qint64 kLatestSeconds = 253402300799;   // 9999-12-31T23:59:59Z
// libpcap reads through stdio, record by record: with a buffer this large a system call
// (and the kernel's copy) comes once a MiB, and the memory taken stays this much.
constexpr std::size_t kReadBuffer = 1024 * 1024;
} // namespace

std::unique_ptr<CaptureFile> CaptureFile::open(const QString &path, QString &error)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    const QByteArray name = path.toLocal8Bit();
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    struct stat st {};
    qint64 size = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        size = qint64(st.st_size);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    FILE *stream = ::fdopen(fd, "rb");
    if (!stream) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    auto buffer = std::make_unique_for_overwrite<char[]>(kReadBuffer); // filled by the reads alone
    ::setvbuf(stream, buffer.get(), _IOFBF, kReadBuffer);
    pcap_t *handle = pcap_fopen_offline(stream, errbuf);
    if (!handle) {
        std::fclose(stream);
        error = QString::fromLocal8Bit(errbuf);
        // libpcap names the file itself in some messages; the caller names it once.
        const QString prefix = path + QStringLiteral(": ");
        if (error.startsWith(prefix))
            error.remove(0, prefix.size());
        return nullptr;
    }
    const int dlt = pcap_datalink(handle);
    if (!IsSupportedLinkType(dlt)) {
        const char *linkName = pcap_datalink_val_to_name(dlt);
        error = QStringLiteral("link type %1 (%2) is not supported; the program reads Ethernet, "
                               "Linux cooked v1 and v2, raw IP (IPv4 and IPv6) and BSD loopback captures")
                    .arg(dlt)
                    .arg(QString::fromLatin1(linkName ? linkName : "unknown"));
        pcap_close(handle);
        return nullptr;
    }
    return std::unique_ptr<CaptureFile>(new CaptureFile(handle, std::move(buffer), fd, size));
}

CaptureFile::CaptureFile(pcap *handle, std::unique_ptr<char[]> buffer, int fd, qint64 size)
    : m_handle(handle), m_linkType(pcap_datalink(handle)), m_buffer(std::move(buffer)), m_fd(fd), m_size(size)
{
}

CaptureFile::~CaptureFile()
{
    pcap_close(m_handle); // closes the stream, and its descriptor, before its buffer goes
}

// The reading stopped: at the file's end, or at a record that breaks off. Either may be
// where another program cut the file, which then holds less than it did at the start.
CaptureFile::Read CaptureFile::ended(Read read)
{
    struct stat st {};
    if (m_size >= 0 && ::fstat(m_fd, &st) == 0 && qint64(st.st_size) < m_size) {
        m_broken = kFileCutWhileRead;
        return Read::Cut;
    }
    return read;
}

CaptureFile::Read CaptureFile::next(Bytes &frame)
{
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    switch (pcap_next_ex(m_handle, &header, &data)) {
    case 1:
        frame = Bytes(reinterpret_cast<const std::byte *>(data), header->caplen);
        // A pcapng time stamp is 64 bits in units the file chooses, plus an offset of its
        // own: its seconds can be anything. They are held to the years 1 to 9999 (what an
        // ISO 8601 date shows), so that the microseconds cannot overflow.
        m_time = std::clamp<qint64>(std::clamp<qint64>(header->ts.tv_sec, kEarliestSeconds, kLatestSeconds) * 1000000
                                        + header->ts.tv_usec,
                                    kEarliestSeconds * 1000000, kLatestSeconds * 1000000 + 999999);
        return Read::Frame;
    case PCAP_ERROR_BREAK:
        return ended(Read::End);
    default:
        m_broken = QString::fromLocal8Bit(pcap_geterr(m_handle));
        return ended(Read::Broken);
    }
}

} // namespace quorrel
