// The request extraction of one captured datagram's payload (detection/): the address of
// a GET request and its head, as the capture road reads every datagram sent from a local
// address. The input is the payload; its first byte also says where to cut it into a path
// and a host for the rule that stream requests are cut by.

#include "detection/request_extraction.h"

#include <cstdint>

using namespace quorrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const Bytes payload(reinterpret_cast<const std::byte *>(data), size);
    const IpAddress local = IpAddress::v4(0x0A000001);
    (void)ExtractRequest(local, local, payload);
    (void)ExtractRequest(0x0A000001, 0x0A000001, payload);
    (void)ExtractRequestBytes(payload);
    (void)ExtractRequestHead(payload);
    if (size > 0) {
        const QByteArrayView text(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
        const qsizetype cut = data[0] % (text.size() + 1);
        (void)ExtractRequestBytes(text.first(cut), text.sliced(cut));
    }
    return 0;
}
