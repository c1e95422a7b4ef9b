// The HPACK inflater (streams/hpack_inflater.h) over the header blocks of one HTTP/2
// connection, as the HTTP/2 reader hands them over: the input is blocks, each a 2-byte
// big-endian length and its bytes, the last block what is left; each block is decoded in
// pieces of byte 0's size (1 to 255 bytes; 0: whole). One inflater decodes them all, its
// dynamic table carried from block to block, until a decoding error ends it.

#include "streams/hpack_inflater.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

using namespace quorrel::streams;

namespace {

class Fields final : public HpackInflater::FieldSink {
public:
    bool field(std::string_view name, std::string_view value) override
    {
        bytes += name.size() + value.size();
        return bytes < 1 << 20;
    }
    std::size_t bytes = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t piece = data[0] == 0 ? size : data[0];
    HpackInflater inflater(4096);
    Fields fields;
    std::size_t at = 1;
    while (at < size) {
        std::size_t length = size - at;
        if (size - at >= 2) {
            length = std::min(std::size_t(data[at]) << 8 | data[at + 1], size - at - 2);
            at += 2;
        }
        const quorrel::Bytes block(reinterpret_cast<const std::byte *>(data + at), length);
        at += length;
        std::size_t done = 0;
        bool ok = true;
        do {
            const std::size_t n = std::min(piece, block.size() - done);
            ok = inflater.inflate(block.subspan(done, n), done + n == block.size(), fields);
            done += n;
        } while (ok && done < block.size());
        if (!ok) {
            if (!inflater.error() && fields.bytes < 1 << 20)
                std::abort(); // a failure without its reason
            break;
        }
        if (inflater.dynamicTableSize() > 4096)
            std::abort();
    }
    return 0;
}
