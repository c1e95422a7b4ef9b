#include "tools/capture_file.h"

#include "capture/link_layer.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorrel {

namespace {
constexpr qint64 kEarliestSeconds = -62135596800; // 0001-01-01T00:00:00Z
constexpr qint64 kLatestSeconds = 253402300799;   // 9999-12-31T23:59:59Z
} // namespace

std::unique_ptr<CaptureFile> CaptureFile::open(const QString &path, QString &error)
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    const QByteArray name = path.toLocal8Bit();
    // libpcap reads a file record by record through stdio. Mapping the file and handing
    // libpcap a stream over the mapping spares a system call and a kernel copy every few
    // kilobytes. Files up to 1 GiB are mapped in at once; larger ones page in as read.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    struct stat st {};
    void *map = MAP_FAILED;
    size_t size = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        size = static_cast<size_t>(st.st_size);
        const int populate = size <= (size_t(1) << 30) ? MAP_POPULATE : 0;
        map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | populate, fd, 0);
        if (map != MAP_FAILED)
            ::madvise(map, size, MADV_SEQUENTIAL);
    }
    FILE *stream = map != MAP_FAILED ? ::fmemopen(map, size, "rb") : ::fdopen(::dup(fd), "rb");
    ::close(fd);
    if (!stream) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        if (map != MAP_FAILED)
            ::munmap(map, size);
        return nullptr;
    }
    pcap_t *handle = pcap_fopen_offline(stream, errbuf);
    if (!handle) {
        std::fclose(stream);
        if (map != MAP_FAILED)
            ::munmap(map, size);
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
        if (map != MAP_FAILED)
            ::munmap(map, size);
        return nullptr;
    }
    auto file = std::unique_ptr<CaptureFile>(new CaptureFile(handle));
    if (map != MAP_FAILED) {
        file->m_map = map;
        file->m_mapSize = size;
    }
    return file;
}

CaptureFile::CaptureFile(pcap *handle) : m_handle(handle), m_linkType(pcap_datalink(handle)) {}

CaptureFile::~CaptureFile()
{
    pcap_close(m_handle); // closes the stream over the mapping first
    if (m_map)
        ::munmap(m_map, m_mapSize);
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
        return Read::End;
    default:
        m_broken = QString::fromLocal8Bit(pcap_geterr(m_handle));
        return Read::Broken;
    }
}

} // namespace quorrel
