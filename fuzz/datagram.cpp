// One captured frame taken apart as the capture and quorrel-scan take every frame: the IP
// datagram inside its link-layer framing (capture/link_layer.h), its IPv4 or IPv6 headers
// and extension headers (capture/ip_headers.h), the capture event's values and their text
// (capture/datagram.h). Byte 0 of the input picks the link type (the ones the program
// reads, then one it does not); the rest is the frame. The views the decoding hands out
// must lie inside the frame.

#include "capture/datagram.h"
#include "capture/ip_headers.h"
#include "capture/link_layer.h"

#include <cstdint>
#include <cstdlib>

using namespace quorrel;

namespace {

constexpr int kLinkTypes[] = {0, 1, 12, 14, 108, 113, 228, 229, 276, 105};

void inside(Bytes part, Bytes whole)
{
    if (part.empty())
        return;
    if (part.data() < whole.data() || part.data() + part.size() > whole.data() + whole.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const int dlt = kLinkTypes[data[0] % std::size(kLinkTypes)];
    const Bytes frame(reinterpret_cast<const std::byte *>(data + 1), size - 1);
    (void)IsSupportedLinkType(dlt);
    (void)Ipv4InFrame(dlt, frame);
    (void)Ipv6InFrame(dlt, frame);
    const std::optional<IpInLink> ip = IpInFrame(dlt, frame);
    if (!ip)
        return 0;
    inside(ip->datagram, frame);

    const IpHeaders headers = ip->family == IpFamily::V4 ? ReadIpv4Headers(ip->datagram) : ReadIpv6Headers(ip->datagram);
    inside(headers.datagram, frame);
    inside(headers.payload, frame);

    // As quorrel-scan reads a file without --local: the sender's capture.
    IpAddress none;
    none.family = ip->family;
    Datagram datagram = DecodeDatagram(none, ip->datagram);
    datagram.ip = datagram.source;
    inside(datagram.header, frame);
    inside(datagram.data, frame);
    if (datagram.data_size != int(datagram.data.size()) || datagram.header_size < 0)
        std::abort();
    const QString text = datagram.ipText() + datagram.proto() + datagram.sourceIP() + datagram.destIP()
        + datagram.SourcePort() + datagram.DestPort();
    if (text.isEmpty())
        std::abort();
    if (ip->family == IpFamily::V4)
        (void)DecodeDatagram(datagram.source.toV4(), ip->datagram);
    return 0;
}
