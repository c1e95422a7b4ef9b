#pragma once
// Capture files (pcap and pcapng) read through libpcap, frame by frame.

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

    enum class Read { Frame, End, Broken };
    // The next frame. Broken: the file ends inside a record (brokenReason() says how);
    // everything before it has been read.
    Read next(Bytes &frame);
    QString brokenReason() const { return m_broken; }
    int linkType() const { return m_linkType; }
    // The capture time of the frame next() gave last, milliseconds since 1970.
    std::int64_t timeMs() const { return m_time / 1000; }

private:
    explicit CaptureFile(pcap *handle);
    pcap *m_handle;
    int m_linkType;
    void *m_map = nullptr; // the file's mapping, when libpcap reads from memory
    size_t m_mapSize = 0;
    QString m_broken;
    qint64 m_time = 0;
};

} // namespace quorrel
