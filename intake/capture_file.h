#pragma once
// Capture files (pcap and pcapng) read through libpcap, frame by frame, from a buffer of
// bounded size: the memory a scan takes does not grow with the file.

#include "capture/datagram.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

struct pcap;

namespace quorrel {

class CaptureFile {
public:
    // Opens path; on failure returns nothing and sets error to the reason (without the
    // file name). A file of a link type the program cannot read is refused here.
    static std::unique_ptr<CaptureFile> open(const QString &path, QString &error);
    ~CaptureFile();

    enum class Read { Frame, End, Broken, Cut };
    // The next frame. Broken: the file ends inside a record (brokenReason() says how);
    // everything before it has been read. Cut: the file was shorter at its end than when
    // it was opened (another program cut it while it was read): what was read of it is not
    // the capture (brokenReason() is kFileCutWhileRead).
    Read next(Bytes &frame);
    QString brokenReason() const { return m_broken; }
    int linkType() const { return m_linkType; }
    // The capture time of the frame next() gave last, milliseconds since 1970.
    std::int64_t timeMs() const { return m_time / 1000; }

private:
    CaptureFile(pcap *handle, std::unique_ptr<char[]> buffer, int fd, qint64 size);
    Read ended(Read read);
    pcap *m_handle;
    int m_linkType;
    std::unique_ptr<char[]> m_buffer; // the stream's buffer, freed after the stream
    int m_fd;       // the stream's own descriptor
    qint64 m_size;  // the file's size when opened; -1 when it is no regular file
    QString m_broken;
    qint64 m_time = 0;
};

} // namespace quorrel
