#pragma once
// Capture files read through the road, as quorrel-scan reads them: frame by frame, in the
// order of the files given, with the road's ticks by the capture's own clock (a file read
// in a moment still ends its flows and gives up on late secrets as the capture ran).
//
// Each capture bound to a local address sees the datagrams to or from it; a datagram is
// read once, as the capture of its sender when that is one of the local addresses, else
// as the capture of its receiver. Without local addresses every datagram is read as its
// sender's capture would read it (the road is told that every address is local).

#include "capture/link_layer.h"
#include "intake/capture_file.h"
#include "intake/capture_road.h"
#include "intake/intake_counts.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

namespace quorrel {

class FileIntake {
public:
    FileIntake(CaptureRoad &road, std::vector<IpAddress> locals);

    // Reads every file to its end, then ends the road's flows. Notes in broken the files
    // whose last record breaks off. False (with the reason in cut) when a file was cut
    // short while it was read: what was read of it is not what the capture holds, and
    // reading ends there.
    bool read(std::vector<std::unique_ptr<CaptureFile>> &files, const QStringList &paths, QStringList &broken,
              QString &cut);

    const IntakeCounts &counts() const { return m_counts; }
    // When the datagram being read was captured, milliseconds since 1970.
    std::int64_t capturedMs() const { return m_capturedMs; }

private:
    void datagram(const IpInLink &ip, std::int64_t nowMs);

    CaptureRoad &m_road;
    std::vector<IpAddress> m_locals;
    IntakeCounts m_counts;
    std::int64_t m_capturedMs = 0;
    std::int64_t m_lastTickMs = 0;
};

} // namespace quorrel
