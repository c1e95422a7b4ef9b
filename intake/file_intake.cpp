#include "intake/file_intake.h"

#include <algorithm>

namespace quorrel {

namespace {
// The road's tick, by the capture's clock: as often as the window's second timer.
constexpr std::int64_t kTickMs = 1000;
} // namespace

FileIntake::FileIntake(CaptureRoad &road, std::vector<IpAddress> locals) : m_road(road), m_locals(std::move(locals))
{
    m_road.setEveryAddressLocal(m_locals.empty());
}

bool FileIntake::read(std::vector<std::unique_ptr<CaptureFile>> &files, const QStringList &paths, QStringList &broken,
                      QString &cut)
{
    for (size_t f = 0; f < files.size(); ++f) {
        CaptureFile &file = *files[f];
        Bytes frame;
        CaptureFile::Read read;
        while ((read = file.next(frame)) == CaptureFile::Read::Frame) {
            if (const std::optional<IpInLink> ip = IpInFrame(file.linkType(), frame))
                datagram(*ip, file.timeMs());
        }
        if (read == CaptureFile::Read::Cut) {
            cut = paths[int(f)] + QStringLiteral(": ") + file.brokenReason();
            return false;
        }
        if (read == CaptureFile::Read::Broken)
            broken << QStringLiteral("%1 breaks off: %2").arg(paths[int(f)], file.brokenReason());
    }
    m_counts.add(m_road.finish());
    return true;
}

void FileIntake::datagram(const IpInLink &ip, std::int64_t nowMs)
{
    ++m_counts.datagrams;
    m_capturedMs = nowMs;
    // Flows end and waiting TLS records give up by the capture's own clock.
    if (nowMs - m_lastTickMs >= kTickMs || nowMs < m_lastTickMs) {
        m_counts.add(m_road.tick(nowMs));
        m_lastTickMs = nowMs;
    }
    IpAddress none;
    none.family = ip.family;
    Datagram d = DecodeDatagram(none, ip.datagram);
    if (m_locals.empty()) {
        d.ip = d.source;
    } else {
        const auto local = [this](const IpAddress &a) { return std::find(m_locals.begin(), m_locals.end(), a) != m_locals.end(); };
        if (local(d.source))
            d.ip = d.source;
        else if (local(d.destination))
            d.ip = d.destination;
        else
            return;
    }
    m_counts.add(m_road.deliver(d, nowMs));
}

} // namespace quorrel
