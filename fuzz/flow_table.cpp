// The capture helper's flow table (capture/flow_table.h), which decides for each captured
// frame how much of it passes, in the one program that held capture rights. The input is
// frames, each a 1-byte link type choice, a 1-byte time step (tenths of a second) and a
// 2-byte big-endian length, then the frame (cut short where the input ends); a step of ten
// seconds or more sweeps the idle entries out; a link type byte of 0xFF makes the frame a
// record of the directions the program asks to follow (capture/frame.h). The table is small, so that it fills up.
// What passes is never more than the frame.

#include "capture/flow_table.h"
#include "capture/frame.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

using namespace quorrel;

namespace {
constexpr int kLinkTypes[] = {0, 1, 12, 14, 108, 113, 228, 229, 276, 105};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FlowTable table(8, 5000);
    std::int64_t nowMs = 0;
    std::size_t at = 0;
    while (size - at >= 4) {
        const int dlt = kLinkTypes[data[at] % std::size(kLinkTypes)];
        const unsigned step = data[at + 1];
        nowMs += std::int64_t(step) * 100;
        const std::size_t length = std::min(std::size_t(data[at + 2]) << 8 | data[at + 3], size - at - 4);
        at += 4;
        const Bytes frame(reinterpret_cast<const std::byte *>(data + at), length);
        // A link type byte of 0xFF: a record from the program (a direction to follow).
        if (data[at - 4] == 0xFF && length >= frame::kDirectionRecord) {
            table.followRecord(data + at, nowMs);
            at += length;
            if (table.size() > 8)
                std::abort();
            continue;
        }
        at += length;
        if (table.keep(dlt, frame, nowMs) > frame.size())
            std::abort();
        if (step >= 100) // ten seconds or more: the helper's sweep
            table.evictIdle(nowMs);
        if (table.size() > 8)
            std::abort();
    }
    return 0;
}
