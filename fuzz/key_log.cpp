// The TLS key log reader (streams/key_log.h) over the text of a key log: read whole, and
// read again in two pieces cut where the first byte says, as a file that grows is read.
// Both readings must hold the same secrets and count the same lines. A third reading with
// bounds small enough to reach (two sessions, lines of 160 bytes) must stay within them.

#include "streams/key_log.h"

#include <QList>

#include <cstdint>
#include <cstdlib>

using namespace quorrel::streams;

namespace {

bool sameStats(const KeyLog::Stats &a, const KeyLog::Stats &b)
{
    return a.secretsAdded == b.secretsAdded && a.malformedLines == b.malformedLines && a.ignoredLines == b.ignoredLines
        && a.evictedSessions == b.evictedSessions;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const QByteArrayView text(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const qsizetype cut = data[0] % (text.size() + 1);

    KeyLog whole;
    whole.addText(text);
    KeyLog split;
    split.addText(text.first(cut));
    split.addText(text.sliced(cut));
    if (whole.size() != split.size() || !sameStats(whole.stats(), split.stats()))
        std::abort();

    KeyLog small;
    small.setLimits(2, 160);
    small.addText(text.first(cut));
    small.addText(text.sliced(cut));
    if (small.size() > 2)
        std::abort();

    // Every random the text names, looked up and forgotten.
    for (const QByteArray &line : text.toByteArray().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 2 || fields[1].size() != 64)
            continue;
        const QByteArray bytes = QByteArray::fromHex(fields[1]);
        if (bytes.size() != 32)
            continue;
        ClientRandom random{};
        for (int i = 0; i < 32; ++i)
            random[std::size_t(i)] = std::uint8_t(bytes[i]);
        (void)whole.find(random);
        whole.forget(random);
        if (whole.find(random))
            std::abort();
    }
    return 0;
}
