// The HAR reader (downloads/har_file.h) over a file's bytes, as quorrel-fetch --har reads
// one a browser exported. What it takes must survive being written as HAR and read back:
// the same addresses, in the same order, with the same headers.

#include "downloads/har_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace quorrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const HarReading reading = ReadHar(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (reading.error && !reading.requests.isEmpty())
        std::abort();
    if (reading.error)
        return 0;
    const HarReading again = ReadHar(HarDocument(reading.requests, QStringLiteral("fuzz"), QStringLiteral("1")));
    bool same = !again.error && again.skipped == 0 && again.requests.size() == reading.requests.size();
    for (qsizetype i = 0; same && i < reading.requests.size(); ++i)
        same = again.requests[i].url == reading.requests[i].url && again.requests[i].headers == reading.requests[i].headers;
    if (!same) {
        std::fprintf(stderr, "the requests read do not survive a HAR file of their own\n");
        std::abort();
    }
    return 0;
}
