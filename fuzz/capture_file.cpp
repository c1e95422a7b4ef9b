// A capture file, pcap or pcapng, read as quorrel-scan reads one: opened through libpcap
// (intake/capture_file.h), every frame taken with its time and its datagram decoded, and the
// TLS key log that pcapng Decryption Secrets Blocks carry (capture/pcapng_secrets.h) given
// to a key log. The input is the file; it lives in memory (memfd), never on disk.

#include "capture/datagram.h"
#include "capture/link_layer.h"
#include "capture/pcapng_secrets.h"
#include "streams/key_log.h"
#include "intake/capture_file.h"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

using namespace quorrel;

namespace {

// The input as a file of its own, named by its descriptor; -1 when none can be made.
int fileOf(const std::uint8_t *data, std::size_t size)
{
    const int fd = ::memfd_create("capture", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        done += std::size_t(n);
    }
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const CaptureSecrets fromBytes =
        ReadCaptureSecrets(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));

    const int fd = fileOf(data, size);
    if (fd < 0)
        std::abort();
    const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);

    const std::optional<CaptureSecrets> secrets = ReadCaptureSecrets(path);
    if (!secrets || secrets->keyLog != fromBytes.keyLog || secrets->blocks != fromBytes.blocks)
        std::abort();
    streams::KeyLog keys;
    keys.addText(secrets->keyLog);

    QString error;
    if (std::unique_ptr<CaptureFile> file = CaptureFile::open(path, error)) {
        Bytes frame;
        CaptureFile::Read read;
        std::int64_t lastMs = 0;
        while ((read = file->next(frame)) == CaptureFile::Read::Frame) {
            // As quorrel-scan keeps the capture's clock.
            const std::int64_t nowMs = file->timeMs();
            if (nowMs - lastMs >= 1000 || nowMs < lastMs)
                lastMs = nowMs;
            const std::optional<IpInLink> ip = IpInFrame(file->linkType(), frame);
            if (!ip)
                continue;
            IpAddress none;
            none.family = ip->family;
            (void)DecodeDatagram(none, ip->datagram);
        }
        if (read == CaptureFile::Read::Broken && file->brokenReason().isEmpty())
            std::abort();
    } else if (error.isEmpty()) {
        std::abort();
    }
    ::close(fd);
    return 0;
}
