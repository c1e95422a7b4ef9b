#pragma once
// The TLS secrets a browser writes to its key log (the NSS key log format): one line per
// secret, "LABEL <client random, 64 hex> <secret, hex>". Kept in memory only, by client
// random, for as long as a session may still need them; never copied out or logged.

#include "streams/stream_types.h"

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quorrel::streams {

using ClientRandom = std::array<std::uint8_t, 32>;

class KeyLog {
public:
    KeyLog();
    ~KeyLog(); // every secret is wiped
    KeyLog(const KeyLog &) = delete;
    KeyLog &operator=(const KeyLog &) = delete;

    // Lines of the key log format; a partial last line waits for the rest. Comments (#) and
    // blank lines are skipped, labels other than the five below ignored, malformed lines
    // counted; none of them stops the reading.
    void addText(QByteArrayView text);
    // What addText() was given is all there is (a capture's secrets block, a file read to its
    // end): a last line without its end is read as a line.
    void endText();

    // A key log file whoever else can write could hand the program secrets of their choosing,
    // or fill its memory: read() and follow() refuse a file that is not the user's own (this
    // process's user), one that its group or other users can write, and a link to such a
    // file; the error says why, in English for the tools, and takeWarning() in the log's words.

    // Reads a key log file once, up to the size it has now (a file that grows meanwhile is
    // read no further), its last line taken without its end. False, with the reason, when it
    // cannot be read or is refused. The file is not followed.
    bool read(const QString &path, QString *error = nullptr);

    // Follows a key log file as it grows: poll() reads what was added since. False (with the
    // reason) when the file cannot be read now; it is followed all the same, and a later
    // poll() reads it once it can. A file that shrank or was replaced is read again from its
    // start. Reading is the caller's to drive: call poll() from a timer or a file watcher.
    bool follow(const QString &path, QString *error = nullptr);
    void poll();
    // As poll(), by a monotonic clock in milliseconds: a last line without its end is read
    // once the file has not changed for kQuietMs (a browser writes each line in one write;
    // a writer that ends without a line end writes no more).
    void poll(std::int64_t nowMs);
    static constexpr std::int64_t kQuietMs = 1000;
    // One call reads at most a few MiB, so that a huge file cannot stall the caller's loop:
    // true once the last call reached the end of the file (or could read no further). To
    // read a whole file first (a capture file's key log), poll() until it is.
    bool caughtUp() const;

    // One line for the log when the followed file can be read by other users, or is refused
    // (see read()): taken once, empty after that (and empty when there is nothing to warn
    // about). A refusal is said again only when its reason changes.
    QString takeWarning();

    // Grows by one whenever a secret is added: sessions waiting for one try again.
    std::uint64_t generation() const { return m_generation; }

    struct Secrets {
        QByteArray masterSecret;                 // CLIENT_RANDOM (TLS 1.2), 48 bytes
        QByteArray clientEarlyTrafficSecret;     // CLIENT_EARLY_TRAFFIC_SECRET (TLS 1.3 0-RTT)
        QByteArray clientHandshakeTrafficSecret; // CLIENT_HANDSHAKE_TRAFFIC_SECRET (TLS 1.3)
        QByteArray clientTrafficSecret0;         // CLIENT_TRAFFIC_SECRET_0 (TLS 1.3)
        QByteArray serverTrafficSecret0;         // SERVER_TRAFFIC_SECRET_0 (QUIC: the server's SETTINGS)
    };
    // The secrets of that session, or nullptr. The pointer is good until the next call that
    // changes the log (addText, poll, forget): take what is needed at once.
    const Secrets *find(const ClientRandom &random) const;
    // The session of this random needs its secrets no more: they are wiped.
    void forget(const ClientRandom &random);

    // Bounds: sessions kept (the oldest is wiped first) and the bytes of one line.
    static constexpr std::size_t kDefaultMaxSessions = 20000;
    static constexpr std::size_t kDefaultMaxLineBytes = 4096;
    void setLimits(std::size_t maxSessions, std::size_t maxLineBytes);

    struct Stats {
        std::uint64_t secretsAdded = 0;   // new or changed secrets
        std::uint64_t malformedLines = 0; // bad hex, wrong lengths, missing fields, too long
        std::uint64_t ignoredLines = 0;   // well-formed lines of labels we do not use
        std::uint64_t evictedSessions = 0;
        std::uint64_t forgottenSessions = 0;
        std::uint64_t readErrors = 0;     // the followed file could not be read, or was refused
    };
    Stats stats() const;
    std::size_t size() const; // sessions whose secrets are held

private:
    struct Impl;
    Impl *m_impl;
    std::uint64_t m_generation = 0;
};

} // namespace quorrel::streams
