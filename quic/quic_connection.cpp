#include "quic/quic_connection.h"

#include "quic/offset_reassembler.h"
#include "quic/packet_keys.h"
#include "quic/packet_protection.h"
#include "quic/quic_frames.h"
#include "streams/tls_hello.h"

#include <algorithm>
#include <array>
#include <climits>
#include <deque>
#include <optional>
#include <vector>

namespace quorrel::quic {

namespace {

using Side = QuicConnection::Side;
using streams::KeyLog;
using streams::tls::HandshakeReader;

// The packet number spaces a reader follows (RFC 9000 12.3): 0-RTT and 1-RTT share the
// application data space.
enum class Space : std::uint8_t { Initial, Application };
// The keys of a protected packet: 0-RTT is the client's early secret, 1-RTT the traffic secrets.
enum class Epoch : std::uint8_t { ZeroRtt, OneRtt };

constexpr std::size_t kSides = 2;
std::size_t index(Side side) { return side == Side::Client ? 0 : 1; }

// The server's 1-RTT packets are read for its SETTINGS and the connection IDs it issues,
// which its first packets carry; after the SETTINGS, this many more at most.
constexpr int kServerPacketsAfterSettings = 32;
constexpr std::uint8_t kKeyPhaseBit = 0x04; // RFC 9000 17.3.1

// The keys of one direction's Initial packets.
struct InitialKeys {
    const QuicVersion *version = nullptr;
    HeaderProtection hp;
    PacketCipher cipher;
};

// The keys of one direction's 0-RTT or 1-RTT packets, key phases included (RFC 9001 6).
struct TrafficKeys {
    const CipherSuite *suite = nullptr;
    const QuicVersion *version = nullptr;
    HeaderProtection hp;
    PacketCipher current;
    SecretBytes secret;            // the current phase's secret, for the next
    bool phase = false;            // the key phase bit of current
    std::uint64_t phaseStartPn = 0; // the first packet number opened under current
    PacketCipher previous;         // the phase before, for packets that come late
    PacketCipher next;             // the phase after, made when a packet first needs it
    bool ready() const { return current.ready(); }
};

// Makes keys for a secret under a suite and version. The secret is kept for key updates.
bool makeTraffic(TrafficKeys &keys, const QuicVersion &version, const CipherSuite &suite, Bytes secret)
{
    PacketKeys k;
    if (!derivePacketKeys(version, suite, secret, k) || !keys.hp.init(suite.aead, k.hp)
        || !keys.current.init(suite.aead, k.key, k.iv) || !keys.secret.assign(secret))
        return false;
    keys.suite = &suite;
    keys.version = &version;
    keys.phase = false;
    keys.phaseStartPn = 0;
    keys.previous.reset();
    keys.next.reset();
    return true;
}

bool makeNext(TrafficKeys &keys)
{
    SecretBytes next;
    PacketKeys k;
    return next.assign(keys.secret.view()) && nextSecret(*keys.version, *keys.suite, next)
        && derivePacketKeys(*keys.version, *keys.suite, next.view(), k) && keys.next.init(keys.suite->aead, k.key, k.iv);
}

// A packet whose keys are not known yet, as it came.
struct Held {
    Side side;
    Epoch epoch;
    const QuicVersion *version;
    std::size_t pnOffset;
    std::int64_t timeMs;
    std::vector<std::byte> bytes;
};

// The suites a secret of that length may belong to, the ServerHello's first when known
// (RFC 8446 B.4: SHA-256 for AES-128-GCM and ChaCha20-Poly1305, SHA-384 for AES-256-GCM).
std::vector<const CipherSuite *> candidateSuites(std::size_t secretLength, const CipherSuite *named)
{
    std::vector<const CipherSuite *> out;
    if (named && named->hashLength == secretLength)
        out.push_back(named);
    for (std::uint16_t code : {0x1301, 0x1303, 0x1302}) {
        const CipherSuite *suite = findSuite(code);
        if (suite && suite->hashLength == secretLength && suite != named)
            out.push_back(suite);
    }
    return out;
}

} // namespace

struct QuicConnection::Impl final {
    Impl(QuicConnection &owner, KeyLog &keys, const QuicLimits &limits, QuicCounters &counters,
         const QuicVersion &version, const ConnectionId &originalDcid, const Endpoint &client, const Endpoint &server)
        : owner(owner),
          keys(keys),
          limits(limits),
          counters(counters),
          original(&version),
          negotiated(&version),
          initialDcid(originalDcid),
          client(client),
          server(server),
          hello{HandshakeReader(limits.cryptoBytes), HandshakeReader(limits.cryptoBytes)},
          http3(limits, counters)
    {
        http3.onRequest = [this](streams::StreamRequest &&request) {
            request.client = this->client;
            if (this->owner.onRequest)
                this->owner.onRequest(request);
        };
        serverCidLength = originalDcid.length; // until the server chooses its own
    }

    ~Impl()
    {
        if (random && forgetSecrets)
            keys.forget(*random);
    }

    // Frames of one side's packets.
    struct Frames final : FrameSink {
        Impl &c;
        Side side;
        bool initial;
        std::int64_t nowMs = 0;
        Frames(Impl &c, Side side, bool initial) : c(c), side(side), initial(initial) {}
        void crypto(std::uint64_t offset, Bytes data) override
        {
            if (initial)
                c.cryptoData(side, offset, data);
        }
        void stream(std::uint64_t id, std::uint64_t offset, Bytes data, bool) override
        {
            if (initial)
                return;
            if (side == Side::Client)
                c.http3.clientStream(id, offset, data, nowMs);
            else
                c.http3.serverStream(id, offset, data, nowMs);
        }
        void resetStream(std::uint64_t id) override
        {
            if (!initial && side == Side::Client)
                c.http3.clientReset(id);
        }
        void newConnectionId(std::uint64_t sequence, std::uint64_t, const ConnectionId &id) override
        {
            // The server's IDs are the client's to send to, and the other way round.
            c.learn(id, side == Side::Server, sequence);
        }
        void retireConnectionId(std::uint64_t sequence) override
        {
            // The sender retires an ID the other side issued.
            c.retire(side == Side::Client, sequence);
        }
        void connectionClose() override { c.closed = true; }
    };

    QuicConnection &owner;
    KeyLog &keys;
    const QuicLimits &limits;
    QuicCounters &counters;
    const QuicVersion *original;   // of the client's first Initial (and of its 0-RTT)
    const QuicVersion *negotiated; // of Handshake and 1-RTT packets (RFC 9368, RFC 9369 4.1)
    ConnectionId initialDcid;      // the Initial keys come from it (a Retry changes it)
    bool retried = false;
    Endpoint client;
    Endpoint server;

    // Initial keys of each side, for the versions seen (a server may answer in another).
    std::array<std::array<InitialKeys, 2>, kSides> initialKeys;
    // 0-RTT (client only) and 1-RTT keys of each side.
    TrafficKeys early;
    std::array<TrafficKeys, kSides> traffic;
    std::array<std::array<std::optional<std::uint64_t>, 2>, kSides> largestPn{};

    // The CRYPTO streams of the two Initial flights, and the hellos read from them.
    std::array<OffsetReassembler, kSides> crypto;
    std::array<HandshakeReader, kSides> hello;
    std::array<bool, kSides> helloRead{};
    std::optional<streams::ClientRandom> random;
    bool forgetSecrets = true;
    const CipherSuite *namedSuite = nullptr; // the ServerHello's

    // Secrets of the key log, taken when found.
    SecretBytes earlySecret;
    std::array<SecretBytes, kSides> trafficSecret;
    std::uint64_t keyGeneration = ~std::uint64_t{0};

    std::deque<Held> held;
    std::size_t heldBytes = 0;
    // A wait for a secret gave up: packets needing it are dropped from then on.
    std::array<bool, kSides> gaveUp{};
    bool earlyGaveUp = false;

    Http3Session http3;
    int serverPacketsAfterSettings = 0;

    // Connection IDs that lead here: the client's to send to (the original, the server's),
    // and the server's to send to (the client's), each with its sequence number when a
    // NEW_CONNECTION_ID gave one.
    struct KnownId {
        ConnectionId id;
        bool towardServer;
        std::uint64_t sequence;
    };
    std::vector<KnownId> ids;
    std::size_t clientCidLength = 0;
    std::size_t serverCidLength = 0;
    bool clientCidKnown = false;
    bool serverCidChosen = false;
    bool heldToTry = false; // the ClientHello was read: held packets may open now

    bool started = false;
    bool read = false;
    bool closed = false;
    bool withoutSecret = false;
    const char *endNote = nullptr;
    std::vector<std::byte> headerBuffer;
    std::vector<std::byte> plain;

    // --- connection IDs ---

    void learn(const ConnectionId &id, bool towardServer, std::uint64_t sequence)
    {
        if (id.length == 0)
            return; // a zero-length ID leads nowhere: the path does (RFC 9000 5.1)
        for (KnownId &k : ids) {
            if (k.id == id && k.towardServer == towardServer) {
                if (sequence != ~std::uint64_t{0})
                    k.sequence = sequence;
                return;
            }
        }
        if (ids.size() >= limits.maxConnectionIds) {
            // The oldest the client sends to, other than the one the Initial keys came from, goes.
            auto oldest = std::find_if(ids.begin(), ids.end(),
                                       [&](const KnownId &k) { return k.towardServer == towardServer && !(k.id == initialDcid); });
            if (oldest == ids.end())
                return;
            const KnownId gone = *oldest;
            ids.erase(oldest);
            if (owner.onConnectionId)
                owner.onConnectionId(gone.id, gone.towardServer, false);
        }
        ids.push_back({id, towardServer, sequence});
        if (towardServer && !(id == initialDcid)) {
            serverCidLength = id.length;
            serverCidChosen = true;
        }
        if (owner.onConnectionId)
            owner.onConnectionId(id, towardServer, true);
    }

    void retire(bool towardServer, std::uint64_t sequence)
    {
        for (auto it = ids.begin(); it != ids.end(); ++it) {
            if (it->towardServer == towardServer && it->sequence == sequence) {
                const KnownId gone = *it;
                ids.erase(it);
                if (owner.onConnectionId)
                    owner.onConnectionId(gone.id, gone.towardServer, false);
                return;
            }
        }
    }

    // --- Initial packets and the hellos ---

    InitialKeys *initialFor(Side side, const QuicVersion &version)
    {
        auto &pair = initialKeys[index(side)];
        for (InitialKeys &k : pair) {
            if (k.version == &version)
                return &k;
        }
        InitialKeys &slot = pair[0].version ? pair[1] : pair[0];
        SecretBytes clientSecret;
        SecretBytes serverSecret;
        PacketKeys k;
        const bool ok = deriveInitialSecrets(version, initialDcid.view(), clientSecret, serverSecret)
            && derivePacketKeys(version, initialSuite(), (side == Side::Client ? clientSecret : serverSecret).view(), k)
            && slot.hp.init(initialSuite().aead, k.hp) && slot.cipher.init(initialSuite().aead, k.key, k.iv);
        if (!ok)
            return nullptr;
        slot.version = &version;
        return &slot;
    }

    void forgetInitialKeys()
    {
        for (auto &pair : initialKeys)
            for (InitialKeys &k : pair) {
                k.version = nullptr;
                k.cipher.reset();
            }
    }

    bool initialPacket(Side side, const LongHeader &h, std::int64_t nowMs)
    {
        InitialKeys *k = initialFor(side, *h.known);
        if (!k)
            return false;
        const auto open = removeHeaderProtection(k->hp, h.packet, h.pnOffset, headerBuffer);
        if (!open) {
            ++counters.packetsMalformed;
            return false;
        }
        auto &largest = largestPn[index(side)][std::size_t(Space::Initial)];
        const std::uint64_t pn = decodePacketNumber(largest, open->truncatedPn, open->pnLength);
        if (!k->cipher.open(pn, open->header, open->payload, plain)) {
            if (started)
                ++counters.packetsFailedAuth;
            return false;
        }
        largest = std::max(largest.value_or(0), pn);
        ++counters.packetsOpened;
        if (side == Side::Client && !started) {
            started = true;
            ++counters.connectionsStarted;
            learn(initialDcid, true, ~std::uint64_t{0});
        }
        Frames frames(*this, side, true);
        frames.nowMs = nowMs;
        const FrameResult r = readFrames(plain, FrameSpace::Initial, frames);
        if (r != FrameResult::Ok)
            ++counters.packetsMalformed;
        return true;
    }

    void cryptoData(Side side, std::uint64_t offset, Bytes data)
    {
        const std::size_t i = index(side);
        if (helloRead[i])
            return;
        // The hello lies within the first cryptoBytes of the stream; a frame beyond is not
        // one a reader needs (and one at a huge offset is hostile).
        if (offset > limits.cryptoBytes || data.size() > limits.cryptoBytes - offset) {
            counters.streamBytesDropped += data.size();
            return;
        }
        const auto add = crypto[i].add(offset, data, limits.cryptoBytes, [&](Bytes in) {
            hello[i].append(in);
            return readHello(side);
        });
        if (add == OffsetReassembler::Add::Overflow)
            counters.streamBytesDropped += data.size();
    }

    // False once the hello of that side is read (or cannot be): no more bytes are wanted.
    bool readHello(Side side)
    {
        const std::size_t i = index(side);
        const auto message = hello[i].next();
        if (!message)
            return !hello[i].failed();
        helloRead[i] = true;
        if (side == Side::Client && message->type == streams::tls::kClientHello) {
            if (const auto info = streams::tls::parseClientHello(message->body)) {
                random = info->random;
                if (owner.onRandom)
                    owner.onRandom(*random);
                heldToTry = true; // once this packet's frames are read
            } else {
                ++counters.packetsMalformed;
            }
        } else if (side == Side::Server && message->type == streams::tls::kServerHello) {
            const auto info = streams::tls::parseServerHello(message->body);
            if (info && info->version == streams::tls::kTls13)
                namedSuite = findSuite(info->cipherSuite);
        }
        hello[i] = HandshakeReader(0); // its bytes go
        return false;
    }

    void retryPacket(const LongHeader &h)
    {
        // RFC 9001 5.8: the integrity tag is AEAD_AES_128_GCM over the Retry pseudo-packet
        // (the original Destination Connection ID, then the Retry without its tag), with
        // the version's fixed key and nonce and no plaintext. A client takes one Retry, and
        // none after the server's first Initial (RFC 9000 17.2.5.2).
        if (retried || helloRead[index(Side::Server)] || h.packet.size() < kTagLength + 7)
            return;
        const Bytes withoutTag = h.packet.first(h.packet.size() - kTagLength);
        std::vector<std::byte> pseudo;
        pseudo.reserve(1 + initialDcid.length + withoutTag.size());
        pseudo.push_back(std::byte{initialDcid.length});
        pseudo.insert(pseudo.end(), initialDcid.view().begin(), initialDcid.view().end());
        pseudo.insert(pseudo.end(), withoutTag.begin(), withoutTag.end());
        SecretBytes key;
        SecretBytes nonce;
        key.assign(Bytes(reinterpret_cast<const std::byte *>(h.known->retryKey.data()), h.known->retryKey.size()));
        nonce.assign(Bytes(reinterpret_cast<const std::byte *>(h.known->retryNonce.data()), h.known->retryNonce.size()));
        PacketCipher tag;
        if (!tag.init(Aead::Aes128Gcm, key, nonce) || !tag.open(0, pseudo, h.packet.last(kTagLength), plain)) {
            ++counters.packetsFailedAuth;
            return;
        }
        // The client's next Initial goes to the Retry's Source Connection ID, and both
        // sides' Initial keys come from it (RFC 9001 5.2).
        retried = true;
        initialDcid = h.scid;
        forgetInitialKeys();
        learn(h.scid, true, ~std::uint64_t{0});
    }

    // --- 0-RTT and 1-RTT packets ---

    // The secret that opens side's packets of epoch, taken from the key log once there.
    const SecretBytes *secretFor(Side side, Epoch epoch)
    {
        if (!random)
            return nullptr;
        SecretBytes &slot = epoch == Epoch::ZeroRtt ? earlySecret : trafficSecret[index(side)];
        if (!slot.empty())
            return &slot;
        const KeyLog::Secrets *s = keys.find(*random);
        if (!s)
            return nullptr;
        const QByteArray &secret = epoch == Epoch::ZeroRtt ? s->clientEarlyTrafficSecret
            : side == Side::Client                         ? s->clientTrafficSecret0
                                                           : s->serverTrafficSecret0;
        if (secret.isEmpty())
            return nullptr;
        slot.assign(streams::viewOf(secret));
        return &slot;
    }

    TrafficKeys &keysFor(Side side, Epoch epoch) { return epoch == Epoch::ZeroRtt ? early : traffic[index(side)]; }

    bool &gaveUpFor(Side side, Epoch epoch) { return epoch == Epoch::ZeroRtt ? earlyGaveUp : gaveUp[index(side)]; }

    enum class Outcome { Opened, Failed, Wait };

    // Opens one protected packet; Wait when its keys are not known yet.
    Outcome protectedPacket(Side side, Epoch epoch, const QuicVersion &version, Bytes packet, std::size_t pnOffset,
                            std::int64_t nowMs)
    {
        TrafficKeys &k = keysFor(side, epoch);
        if (!k.ready()) {
            const SecretBytes *secret = secretFor(side, epoch);
            if (!secret)
                return Outcome::Wait;
            // The suite: the ServerHello's, or for a session that resumed (its 0-RTT) or
            // whose ServerHello was not seen, each suite of the secret's hash length in
            // turn, the one whose packet authenticates taken (the tag is 16 bytes: no other
            // opens it).
            bool opened = false;
            for (const CipherSuite *suite : candidateSuites(secret->size(), namedSuite)) {
                if (!makeTraffic(k, version, *suite, secret->view()))
                    continue;
                const Outcome o = openWith(side, epoch, k, packet, pnOffset, nowMs, false);
                if (o == Outcome::Opened) {
                    opened = true;
                    break;
                }
                k.current.reset();
                if (namedSuite && epoch == Epoch::OneRtt)
                    break; // the ServerHello said which: no other is tried
            }
            if (!opened) {
                ++counters.packetsFailedAuth;
                return Outcome::Failed;
            }
            return Outcome::Opened;
        }
        return openWith(side, epoch, k, packet, pnOffset, nowMs, true);
    }

    Outcome openWith(Side side, Epoch epoch, TrafficKeys &k, Bytes packet, std::size_t pnOffset, std::int64_t nowMs,
                     bool countFailure)
    {
        const auto open = removeHeaderProtection(k.hp, packet, pnOffset, headerBuffer);
        if (!open) {
            ++counters.packetsMalformed;
            return Outcome::Failed;
        }
        auto &largest = largestPn[index(side)][std::size_t(Space::Application)];
        const std::uint64_t pn = decodePacketNumber(largest, open->truncatedPn, open->pnLength);
        bool ok = false;
        bool updated = false;
        const bool longHeader = isLongHeader(open->firstByte);
        const bool phase = !longHeader && (open->firstByte & kKeyPhaseBit);
        if (longHeader || phase == k.phase) {
            ok = k.current.open(pn, open->header, open->payload, plain);
        } else if (k.previous.ready() && pn < k.phaseStartPn) {
            ok = k.previous.open(pn, open->header, open->payload, plain); // sent before the update, come late
        } else {
            // A key update (RFC 9001 6.2): the next phase's keys, which become current once
            // a packet authenticates under them.
            if (!k.next.ready())
                makeNext(k);
            ok = k.next.ready() && k.next.open(pn, open->header, open->payload, plain);
            updated = ok;
        }
        if (!ok) {
            if (countFailure)
                ++counters.packetsFailedAuth;
            return Outcome::Failed;
        }
        if (updated) {
            k.previous.swap(k.current);
            k.current.swap(k.next);
            k.next.reset();
            nextSecret(*k.version, *k.suite, k.secret);
            k.phase = phase;
            k.phaseStartPn = pn;
            ++counters.keyUpdates;
        }
        largest = std::max(largest.value_or(0), pn);
        ++counters.packetsOpened;
        if (!read) {
            read = true;
            ++counters.connectionsRead;
        }
        if (side == Side::Server && http3.settingsKnown())
            ++serverPacketsAfterSettings;
        Frames frames(*this, side, false);
        frames.nowMs = nowMs;
        const FrameResult r = readFrames(plain, epoch == Epoch::ZeroRtt ? FrameSpace::ZeroRtt : FrameSpace::OneRtt, frames);
        if (r != FrameResult::Ok)
            ++counters.packetsMalformed;
        return Outcome::Opened;
    }

    void hold(Side side, Epoch epoch, const QuicVersion &version, Bytes packet, std::size_t pnOffset,
              std::int64_t nowMs)
    {
        if (gaveUpFor(side, epoch) || heldBytes + packet.size() > limits.connectionBytes / 2) {
            ++counters.packetsDroppedWaiting;
            if (side == Side::Client && epoch == Epoch::OneRtt)
                withoutSecret = true;
            return;
        }
        held.push_back({side, epoch, &version, pnOffset, nowMs, std::vector<std::byte>(packet.begin(), packet.end())});
        heldBytes += packet.size();
    }

    void protectedOrHold(Side side, Epoch epoch, const QuicVersion &version, Bytes packet, std::size_t pnOffset,
                         std::int64_t nowMs)
    {
        if (side == Side::Server && http3.settingsKnown() && serverPacketsAfterSettings >= kServerPacketsAfterSettings)
            return; // nothing more of the server's is needed
        if (protectedPacket(side, epoch, version, packet, pnOffset, nowMs) == Outcome::Wait)
            hold(side, epoch, version, packet, pnOffset, nowMs);
    }

    // Held packets whose keys are known now are opened, in order; the first that still
    // waits keeps those behind it waiting too, unless they need other keys.
    void tryHeld(std::int64_t nowMs)
    {
        std::deque<Held> still;
        std::size_t stillBytes = 0;
        std::array<std::array<bool, 2>, kSides> waiting{};
        for (Held &p : held) {
            bool &blocked = waiting[index(p.side)][std::size_t(p.epoch)];
            if (!blocked && protectedPacket(p.side, p.epoch, *p.version, p.bytes, p.pnOffset, nowMs) == Outcome::Wait)
                blocked = true;
            if (blocked) {
                stillBytes += p.bytes.size();
                still.push_back(std::move(p));
            }
        }
        held.swap(still);
        heldBytes = stillBytes;
    }

    // --- the datagram ---

    // What a long header that authenticated says of the connection's IDs: the Source
    // Connection ID is the sender's own; the Destination one of the client's packets after
    // the first is the server's (RFC 9000 7.2).
    void learnFrom(Side side, const LongHeader &h)
    {
        if (side == Side::Client) {
            if (!clientCidKnown) {
                clientCidKnown = true;
                clientCidLength = h.scid.length;
            }
            learn(h.scid, false, ~std::uint64_t{0});
            learn(h.dcid, true, ~std::uint64_t{0});
        } else {
            learn(h.scid, true, ~std::uint64_t{0});
        }
    }

    void longPacket(Side side, const LongHeader &h, std::int64_t nowMs)
    {
        if (h.type == PacketType::Retry) {
            if (side == Side::Server)
                retryPacket(h);
            return;
        }
        // Compatible version negotiation (RFC 9368): the server's first long header of
        // another version than the client's first names the one the connection uses.
        if (side == Side::Server && h.known != original && negotiated == original)
            negotiated = h.known;
        switch (h.type) {
        case PacketType::Initial:
            if (helloRead[index(side)] && started)
                return; // nothing more of it is needed
            if (initialPacket(side, h, nowMs))
                learnFrom(side, h);
            return;
        case PacketType::ZeroRtt:
            if (side == Side::Client) {
                const std::size_t before = counters.packetsOpened;
                protectedOrHold(side, Epoch::ZeroRtt, *h.known, h.packet, h.pnOffset, nowMs);
                if (counters.packetsOpened != before)
                    learnFrom(side, h);
            }
            return;
        case PacketType::Handshake:
            // Not opened: only its connection ID's length is taken, while the server's is
            // not known from a packet that authenticated.
            if (side == Side::Client && !serverCidChosen)
                serverCidLength = h.dcid.length;
            return;
        case PacketType::Retry:
            return;
        }
    }

    void datagram(Side side, Bytes payload, std::int64_t nowMs)
    {
        Bytes rest = payload;
        bool first = true;
        while (!rest.empty()) {
            const auto firstByte = std::to_integer<std::uint8_t>(rest[0]);
            if (!isLongHeader(firstByte)) {
                // Zeros after the packets pad the datagram: no packet begins so.
                if (firstByte == 0 && !first)
                    return;
                const std::size_t length = dcidLength(side);
                const auto h = parseShortHeader(rest, length);
                if (!h) {
                    ++counters.packetsMalformed;
                    return;
                }
                if (!started) {
                    ++counters.packetsUnknown;
                    return;
                }
                const std::size_t before = counters.packetsOpened;
                protectedOrHold(side, Epoch::OneRtt, *negotiated, h->packet, h->pnOffset, nowMs);
                // A connection ID not seen in a NEW_CONNECTION_ID (its frame was not
                // captured) is taken once a packet opens under it.
                if (counters.packetsOpened != before)
                    learn(h->dcid, side == Side::Client, ~std::uint64_t{0});
                return;
            }
            const auto h = parseLongHeader(rest);
            if (!h) {
                ++counters.packetsMalformed;
                return;
            }
            if (!h->known)
                return; // version negotiation, or a version not read, inside a connection of ours
            rest = rest.subspan(h->packet.size());
            first = false;
            longPacket(side, *h, nowMs);
            if (!started)
                return;
            if (heldToTry) {
                heldToTry = false;
                if (!held.empty())
                    tryHeld(nowMs);
            }
        }
    }

    std::size_t dcidLength(Side sender) const { return sender == Side::Client ? serverCidLength : clientCidLength; }

    // --- waiting ---

    void retry(std::int64_t nowMs)
    {
        if (!held.empty() && keys.generation() != keyGeneration) {
            keyGeneration = keys.generation();
            tryHeld(nowMs);
        }
    }

    std::int64_t deadline() const
    {
        std::int64_t at = http3.deadline();
        if (!held.empty())
            at = std::min(at, held.front().timeMs + limits.keyWaitMs);
        return at;
    }

    void expire(std::int64_t nowMs)
    {
        keyGeneration = ~std::uint64_t{0};
        retry(nowMs);
        while (!held.empty() && held.front().timeMs + limits.keyWaitMs <= nowMs) {
            Held &p = held.front();
            gaveUpFor(p.side, p.epoch) = true;
            if (p.side == Side::Client)
                withoutSecret = withoutSecret || p.epoch == Epoch::OneRtt || !read;
            ++counters.packetsDroppedWaiting;
            heldBytes -= p.bytes.size();
            held.pop_front();
        }
        http3.expire(nowMs);
    }

    void end()
    {
        keyGeneration = ~std::uint64_t{0};
        retry(INT64_MAX);
        for (const Held &p : held) {
            ++counters.packetsDroppedWaiting;
            if (p.side == Side::Client)
                withoutSecret = withoutSecret || p.epoch == Epoch::OneRtt || !read;
        }
        held.clear();
        heldBytes = 0;
        http3.end();
        if (withoutSecret && !read) {
            ++counters.withoutSecret;
            endNote = "the key log never named this QUIC connection";
        } else if (http3.failed()) {
            endNote = http3.reason();
        }
    }

    std::size_t memory() const
    {
        std::size_t total = sizeof(Impl) + http3.memory() + heldBytes + held.size() * sizeof(Held)
            + ids.capacity() * sizeof(KnownId) + plain.capacity() + headerBuffer.capacity();
        for (std::size_t i = 0; i < kSides; ++i)
            total += crypto[i].memory() + hello[i].buffered();
        return total;
    }
};

QuicConnection::QuicConnection(KeyLog &keys, const QuicLimits &limits, QuicCounters &counters, const QuicVersion &version,
                               const ConnectionId &originalDcid, const Endpoint &client, const Endpoint &server)
    : m_impl(std::make_unique<Impl>(*this, keys, limits, counters, version, originalDcid, client, server))
{
}

QuicConnection::~QuicConnection() = default;

void QuicConnection::datagram(Side side, Bytes payload, std::int64_t nowMs)
{
    m_impl->datagram(side, payload, nowMs);
}

void QuicConnection::keepSecrets() { m_impl->forgetSecrets = false; }
bool QuicConnection::started() const { return m_impl->started; }
void QuicConnection::retry(std::int64_t nowMs) { m_impl->retry(nowMs); }
void QuicConnection::expire(std::int64_t nowMs) { m_impl->expire(nowMs); }
std::int64_t QuicConnection::deadline() const { return m_impl->deadline(); }
bool QuicConnection::waitingForKeys() const { return !m_impl->held.empty(); }
void QuicConnection::end() { m_impl->end(); }
const char *QuicConnection::endNote() const { return m_impl->endNote; }
bool QuicConnection::withoutSecret() const { return m_impl->withoutSecret && !m_impl->read; }
bool QuicConnection::read() const { return m_impl->read; }
bool QuicConnection::closed() const { return m_impl->closed; }
const Endpoint &QuicConnection::client() const { return m_impl->client; }
const Endpoint &QuicConnection::server() const { return m_impl->server; }
std::size_t QuicConnection::dcidLength(Side sender) const { return m_impl->dcidLength(sender); }
std::size_t QuicConnection::memory() const { return m_impl->memory(); }

} // namespace quorrel::quic
