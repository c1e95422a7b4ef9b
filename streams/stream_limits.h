#pragma once
// The bounds of the stream reader, what it counts, and what it says when a flow's
// reading ends early. Whatever the traffic, the reader's memory stays below totalBytes:
// every buffer it keeps is bounded here.

#include "base/text_rules.h"
#include "streams/stream_types.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorrel::streams {

struct StreamLimits {
    // One flow: its held (out-of-order) bytes, a request head being gathered, an HTTP/2
    // header block being decoded. A flow that needs more ends, counted.
    std::size_t flowBytes = 256 * 1024;
    // Every flow together, with the tables. Over it, the flows idle the longest go first.
    std::size_t totalBytes = 64 * 1024 * 1024;
    std::size_t maxFlows = 65536;
    // Flows dropped or ended, remembered so that their later segments cost one lookup.
    std::size_t maxRemembered = 65536;
    std::int64_t rememberMs = 5 * 60 * 1000;
    // A connection with nothing on it for this long is forgotten. Browsers keep idle
    // connections open for minutes and an HTTP/2 connection cannot be picked up again in
    // the middle (its header table is lost), so this is generous.
    std::int64_t idleMs = 5 * 60 * 1000;
    // How long held bytes wait for the hole before them. A lost segment is sent again
    // within seconds; one the capture missed never shows up.
    std::int64_t gapWaitMs = 10 * 1000;
    // A request head (HTTP/1) or a decoded header list (HTTP/2). Servers refuse far less
    // (nginx: 32 KiB), so nothing a server would answer is cut.
    std::size_t headBytes = 64 * 1024;
    // A request's authority and path together; a longer one is dropped and counted (as
    // oversize, and as longAddresses), and the connection read on.
    std::size_t addressBytes = std::size_t(kMaxAddressBytes);
    // The server's first bytes given to TLS reading: its ServerHello comes first.
    std::size_t serverBytes = 64 * 1024;
    // A TLS connection that closed while its records still wait for the key log is kept
    // this long for the secret to come.
    std::int64_t closedWaitMs = 60 * 1000;
    // HTTP/2 frames longer than this end the flow. Frame lengths are 24 bits on the wire,
    // so the default is the largest a server can allow (RFC 9113, 6.5.2).
    std::uint32_t maxFrameLength = (1u << 24) - 1;
    // The largest HPACK dynamic table a client may announce. Its bound is set by the
    // server's SETTINGS, which travel encrypted in the server's direction: unknown here.
    // Browsers take what the server offers; servers offer 4 KiB (nginx, the default) to
    // 64 KiB (the largest sites), so 64 KiB is accepted.
    std::size_t hpackTableBytes = 64 * 1024;
};

struct StreamCounters {
    std::uint64_t flowsRead = 0;      // client side recognised: HTTP or a TLS ClientHello
    std::uint64_t flowsDropped = 0;   // first client bytes neither: dropped at once
    std::uint64_t gaps = 0;           // reading ended at bytes that never came
    std::uint64_t oversize = 0;       // a head, frame, header block or address over its bound
    std::uint64_t longAddresses = 0;  // of them, requests dropped for their address alone
    std::uint64_t protocolErrors = 0; // bytes that are not what HTTP/1 or HTTP/2 allow
    std::uint64_t flowsEvicted = 0;   // ended early to keep the memory bound
    std::uint64_t tlsStarted = 0;
    std::uint64_t tlsDecrypted = 0;     // reached application data
    std::uint64_t tlsWithoutSecret = 0; // ended still waiting for the key log
    std::uint64_t tlsFailed = 0;        // ended by TLS reading itself (its reason says why)
    // Of those, sessions at a cipher suite or TLS version we do not read (CBC, CCM, TLS
    // 1.0...), and their suites, each named once in the order met (the first kNamedSuites).
    std::uint64_t tlsSuiteNotRead = 0;
    static constexpr std::size_t kNamedSuites = 16;
    std::array<std::uint16_t, kNamedSuites> suitesNotRead{};
    std::size_t suitesNotReadCount = 0;
    bool moreSuitesNotRead = false; // others beyond those named
    std::uint64_t requests = 0;
    std::size_t memoryInUse = 0;
    std::size_t peakMemory = 0;
};

// Why a flow's reading ended before its connection did (or, for Gap, with bytes
// missing at its close). Connections that simply close or go idle make no note.
struct FlowNote {
    enum Kind {
        Unreadable,       // first client bytes neither an HTTP request nor a ClientHello
        Gap,              // bytes that never came
        Oversize,         // a head, frame or header block over its bound
        Protocol,         // bytes HTTP/1 or HTTP/2 does not allow
        Evicted,          // ended early to keep the memory bound
        TlsFailed,        // TLS reading ended (reason from the TLS session)
        TlsWithoutSecret, // the key log never named the session
    };
    Kind kind;
    Endpoint client; // the connection's two ends; client is the low end while unknown
    Endpoint server;
    const char *reason;
};

} // namespace quorrel::streams
