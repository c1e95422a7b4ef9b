// The reading of aria2's JSON-RPC answers (downloads/aria2_rpc.h): whatever the endpoint
// sends, the answer is a GID or a failure that says why, and aria2's message is kept short.

#include "downloads/aria2_rpc.h"

#include <cstdint>
#include <cstdlib>

using namespace quorrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const Aria2Answer answer = ReadAria2Answer(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (answer.gid && answer.gid->isEmpty())
        std::abort();
    // A message of 512 characters at most, then " (code)" of a 64-bit number.
    if (!answer.gid && answer.failure.detail.size() > 512 + 24)
        std::abort();
    if (!answer.gid && answer.failure.kind != Aria2Failure::Refused && answer.failure.kind != Aria2Failure::NoAnswer)
        std::abort();
    return 0;
}
