#include "streams/tls_session.h"

#include "streams/record_cipher.h"
#include "streams/tls_hello.h"
#include "streams/tls_keys.h"
#include "streams/tls_records.h"

#include <openssl/crypto.h>

#include <deque>
#include <vector>

namespace quorrel::streams {

using namespace tls;

namespace {

constexpr std::size_t kMaxHelloMessage = 64 * 1024;       // a hello's extensions fit 16 bits
constexpr std::size_t kMaxHandshakeMessage = 256 * 1024;  // a client's certificate chain
constexpr int kMaxEarlyDataRecords = 1024;

} // namespace

struct TlsSession::Impl {
    enum class Step { Consumed, Wait, Stop, NotEarly };
    // TLS 1.3 0-RTT data (RFC 8446 2.3, 4.2.10): none seen yet; being read under the early
    // secret; unreadable (the key log names the session but not its early secret); over.
    enum class Early { Unknown, Reading, Unread, Done };
    enum class Need { ServerHello, Secret };

    Impl(TlsSession &owner, KeyLog &keys) : owner(owner), keys(keys) {}
    ~Impl() { forgetSecrets(); }

    TlsSession &owner;
    KeyLog &keys;

    RecordFramer clientFramer;
    RecordFramer serverFramer;
    HandshakeReader clientHelloReader{kMaxHelloMessage};
    HandshakeReader serverHelloReader{kMaxHelloMessage};
    HandshakeReader handshake{kMaxHandshakeMessage}; // TLS 1.3: the client's protected messages

    bool haveClientHello = false;
    bool haveServerHello = false;
    bool sawHelloRetry = false;
    ClientHelloInfo hello;
    ServerHelloInfo server;
    const CipherSuite *suite = nullptr;
    bool tls13 = false;

    bool encrypted12 = false;      // TLS 1.2: the client's ChangeCipherSpec was read
    bool applicationPhase = false; // TLS 1.3: the client's Finished was read
    bool handshakeOpened = false;  // TLS 1.3: a record opened under the handshake key
    bool secretsForgotten = false;
    int skippedEarlyData = 0;
    Early early = Early::Unknown;
    std::vector<std::byte> earlyPlain; // 0-RTT data, held until EndOfEarlyData
    bool unreadSuite = false;          // ended at a version or suite we do not read
    RecordCipher cipher;
    SecretBytes trafficSecret; // TLS 1.3: the client's application traffic secret, for key updates

    // Records that cannot be read yet, in order; everything after the first waits behind it.
    std::deque<std::vector<std::byte>> waiting;
    std::size_t waitingBytes = 0;
    std::int64_t firstWaitMs = 0;
    Need need = Need::Secret;
    std::uint64_t waitGeneration = 0;

    EndCause cause = EndCause::None;
    const char *reason = nullptr;
    Stats stats;
    std::vector<std::byte> plain;

    bool ended() const { return cause != EndCause::None; }

    void forgetSecrets()
    {
        if (haveClientHello && !secretsForgotten) {
            keys.forget(hello.random);
            secretsForgotten = true;
        }
    }

    void dropWaiting(bool count)
    {
        if (count) {
            stats.recordsDroppedWaiting += waiting.size();
            stats.bytesDroppedWaiting += waitingBytes;
        }
        waiting.clear();
        waitingBytes = 0;
    }

    Step end(EndCause why, const char *text)
    {
        if (ended())
            return Step::Stop;
        cause = why;
        reason = text;
        dropWaiting(false);
        forgetSecrets();
        cipher.reset();
        trafficSecret.wipe();
        wipeEarly();
        return Step::Stop;
    }

    void wipeEarly()
    {
        if (!earlyPlain.empty())
            OPENSSL_cleanse(earlyPlain.data(), earlyPlain.size());
        earlyPlain = std::vector<std::byte>();
    }

    Step endWaiting()
    {
        dropWaiting(true);
        return need == Need::ServerHello ? end(EndCause::NoServerHello, "no ServerHello came")
                                         : end(EndCause::NoSecret, "no secret for this session in the key log");
    }

    Step waitForSecret()
    {
        need = Need::Secret;
        waitGeneration = keys.generation();
        return Step::Wait;
    }

    void deliver(Bytes bytes)
    {
        stats.applicationBytes += bytes.size();
        if (!bytes.empty() && owner.onApplicationData)
            owner.onApplicationData(bytes);
    }

    bool open(const Record &record)
    {
        if (!cipher.open(record, plain)) {
            ++stats.recordsFailedAuth;
            end(EndCause::AuthFailed, "a record failed authentication");
            return false;
        }
        ++stats.recordsDecrypted;
        stats.decrypted = true;
        return true;
    }

    // --- the client's records

    void enqueue(const Record &record, std::int64_t nowMs)
    {
        const std::size_t size = kRecordHeaderSize + record.body.size();
        if (waitingBytes + size > kMaxWaitingBytes) {
            ++stats.recordsDroppedWaiting;
            stats.bytesDroppedWaiting += size;
            endWaiting();
            return;
        }
        if (waiting.empty())
            firstWaitMs = nowMs;
        waiting.emplace_back(record.header.data(), record.header.data() + size);
        waitingBytes += size;
    }

    bool take(const Record &record, std::int64_t nowMs)
    {
        if (!waiting.empty() || handle(record) == Step::Wait)
            enqueue(record, nowMs);
        return !ended();
    }

    void drain(std::int64_t nowMs)
    {
        bool progressed = false;
        while (!waiting.empty() && !ended()) {
            // Taken out first: ending the session drops what waits, this record's bytes too.
            std::vector<std::byte> bytes = std::move(waiting.front());
            waiting.pop_front();
            waitingBytes -= bytes.size();
            if (handle(recordAt(Bytes(bytes))) == Step::Wait) {
                waitingBytes += bytes.size();
                waiting.push_front(std::move(bytes));
                break;
            }
            progressed = true;
        }
        // A new wait (the next secret of a TLS 1.3 session) gets its own time.
        if (progressed && !waiting.empty())
            firstWaitMs = nowMs;
    }

    // Records waiting are tried again when what they wait for may have come.
    void resume(std::int64_t nowMs)
    {
        if (waiting.empty() || ended())
            return;
        if ((need == Need::ServerHello && haveServerHello) || (need == Need::Secret && keys.generation() != waitGeneration))
            drain(nowMs);
    }

    void expire(std::int64_t nowMs)
    {
        if (!waiting.empty() && !ended() && nowMs - firstWaitMs >= kMaxWaitMs)
            endWaiting();
    }

    Step handle(const Record &record)
    {
        if (!haveClientHello)
            return readClientHello(record);
        if (!haveServerHello) {
            need = Need::ServerHello;
            return Step::Wait;
        }
        return tls13 ? handle13(record) : handle12(record);
    }

    Step readClientHello(const Record &record)
    {
        if (record.type != kHandshake)
            return end(EndCause::Malformed, "the stream does not start with a ClientHello");
        clientHelloReader.append(record.body);
        const auto message = clientHelloReader.next();
        if (clientHelloReader.failed())
            return end(EndCause::Malformed, "a ClientHello longer than the protocol allows");
        if (!message)
            return Step::Consumed; // the rest is in the next record
        if (message->type != kClientHello)
            return end(EndCause::Malformed, "the stream does not start with a ClientHello");
        const auto info = parseClientHello(message->body);
        if (!info)
            return end(EndCause::Malformed, "a malformed ClientHello");
        hello = *info;
        haveClientHello = true;
        clientHelloReader = HandshakeReader(kMaxHelloMessage); // its buffer is needed no more
        return Step::Consumed;
    }

    // TLS 1.2 (RFC 5246 7.1): protected from the client's ChangeCipherSpec on.
    Step handle12(const Record &record)
    {
        if (!encrypted12) {
            switch (record.type) {
            case kHandshake:
                return Step::Consumed; // ClientKeyExchange, Certificate, CertificateVerify
            case kChangeCipherSpec:
                if (record.body.size() != 1 || record.body[0] != std::byte{1})
                    return end(EndCause::Malformed, "a malformed ChangeCipherSpec");
                encrypted12 = true;
                return Step::Consumed;
            case kAlert:
                return end(EndCause::Closed, "the client sent an alert");
            default:
                return end(EndCause::Malformed, "application data before ChangeCipherSpec");
            }
        }
        if (!cipher.ready()) {
            const KeyLog::Secrets *secrets = keys.find(hello.random);
            if (!secrets || secrets->masterSecret.isEmpty())
                return waitForSecret();
            TrafficKeys derived;
            if (!deriveTls12ClientKeys(*suite, viewOf(secrets->masterSecret), hello.random, server.random, derived)
                || !cipher.init(*suite, derived))
                return end(EndCause::Unsupported, "OpenSSL could not derive the keys");
            forgetSecrets(); // the keys are all this session needs
        }
        if (!open(record))
            return Step::Stop;
        if (plain.size() > kMaxPlaintext)
            return end(EndCause::Oversize, "a plaintext longer than the protocol allows");
        switch (record.type) {
        case kApplicationData:
            deliver(Bytes(plain));
            return Step::Consumed;
        case kAlert:
            return end(EndCause::Closed, "the client sent an alert");
        case kChangeCipherSpec:
            return end(EndCause::Unsupported, "renegotiation is not followed");
        default:
            return Step::Consumed; // the client's Finished, a heartbeat
        }
    }

    // The key for the next TLS 1.3 record: the handshake secret until the client's
    // Finished, then the first application traffic secret.
    Step installKeys13()
    {
        const KeyLog::Secrets *secrets = keys.find(hello.random);
        const QByteArray *secret = nullptr;
        if (secrets)
            secret = applicationPhase ? &secrets->clientTrafficSecret0 : &secrets->clientHandshakeTrafficSecret;
        if (!secret || secret->isEmpty())
            return waitForSecret();
        if (std::size_t(secret->size()) != suite->hashLength)
            return end(EndCause::BadSecret, "the key log's secret does not fit the cipher suite");
        TrafficKeys derived;
        bool ok = false;
        if (applicationPhase) {
            ok = trafficSecret.assign(viewOf(*secret)) && deriveTls13TrafficKeys(*suite, trafficSecret.view(), derived);
            forgetSecrets(); // both secrets are taken now
        } else {
            ok = deriveTls13TrafficKeys(*suite, viewOf(*secret), derived);
        }
        if (!ok || !cipher.init(*suite, derived))
            return end(EndCause::Unsupported, "OpenSSL could not derive the keys");
        return Step::Consumed;
    }

    // TLS 1.3 (RFC 8446 5): everything after the hellos is protected and sent as application
    // data; a ChangeCipherSpec may come for middleboxes' sake (RFC 8446 D.4).
    Step handle13(const Record &record)
    {
        switch (record.type) {
        case kChangeCipherSpec:
            if (record.body.size() != 1 || record.body[0] != std::byte{1})
                return end(EndCause::Malformed, "a malformed ChangeCipherSpec");
            return Step::Consumed;
        case kAlert:
            return end(EndCause::Closed, "the client sent an alert");
        case kHandshake:
            // The second ClientHello after a HelloRetryRequest; nothing else comes in the clear.
            if (handshakeOpened)
                return end(EndCause::Malformed, "an unprotected handshake record after the handshake");
            return Step::Consumed;
        case kApplicationData:
            break;
        default:
            return end(EndCause::Malformed, "an unexpected record type");
        }
        if (record.body.size() > kMaxCiphertextTls13) {
            ++stats.oversizeRecords;
            return end(EndCause::Oversize, "a record longer than the protocol allows");
        }
        if (hello.offersEarlyData && !handshakeOpened && early != Early::Done) {
            if (const Step step = handleEarly(record); step != Step::NotEarly)
                return step;
        }
        if (!cipher.ready()) {
            if (const Step step = installKeys13(); step != Step::Consumed)
                return step;
        }
        if (!cipher.open(record, plain)) {
            // 0-RTT data (RFC 8446 4.2.10) under a secret the key log does not give: skipped.
            // With the early secret, a record that neither key opens is no early data.
            if (!applicationPhase && !handshakeOpened && hello.offersEarlyData && early == Early::Unread
                && skippedEarlyData < kMaxEarlyDataRecords) {
                ++skippedEarlyData;
                ++stats.earlyDataRecordsSkipped;
                return Step::Consumed;
            }
            ++stats.recordsFailedAuth;
            return end(EndCause::AuthFailed, "a record failed authentication");
        }
        ++stats.recordsDecrypted;
        stats.decrypted = true;
        handshakeOpened = true;
        if (plain.size() > kMaxPlaintext + 1)
            return end(EndCause::Oversize, "a plaintext longer than the protocol allows");

        // The inner plaintext: content, the content type, zero padding (RFC 8446 5.2).
        std::size_t n = plain.size();
        while (n > 0 && plain[n - 1] == std::byte{0})
            --n;
        if (n == 0)
            return end(EndCause::Malformed, "a protected record without a content type");
        const auto type = static_cast<std::uint8_t>(plain[n - 1]);
        const Bytes content = Bytes(plain).first(n - 1);
        switch (type) {
        case kApplicationData:
            if (!applicationPhase)
                return end(EndCause::Malformed, "application data before the client's Finished");
            deliver(content);
            return Step::Consumed;
        case kHandshake:
            return readHandshake13(content);
        case kAlert:
            return end(EndCause::Closed, "the client sent an alert");
        default:
            return end(EndCause::Malformed, "an unexpected protected content type");
        }
    }

    // A protected record before any under the handshake key, from a client that offered
    // early data. The early secret's suite is the resumed session's, which the wire does not
    // show: each suite of the ClientHello whose hash is as long as the secret is tried on the
    // first record, and the one that opens it is taken. NotEarly: the record is for the
    // handshake key (the client sent no early data, or it has ended).
    Step handleEarly(const Record &record)
    {
        if (early == Early::Unread)
            return Step::NotEarly;
        if (early == Early::Reading) {
            if (cipher.open(record, plain))
                return readEarly();
            // The early data ended without EndOfEarlyData: the server refused it (RFC 8446
            // 4.2.10) and the client sends it again after the handshake, if at all.
            stats.earlyDataBytesRefused += earlyPlain.size();
            wipeEarly();
            cipher.reset();
            early = Early::Done;
            return Step::NotEarly;
        }
        const KeyLog::Secrets *secrets = keys.find(hello.random);
        if (!secrets)
            return waitForSecret();
        if (secrets->clientEarlyTrafficSecret.isEmpty()) {
            // Written before the handshake's secrets when there is one: there is none.
            early = Early::Unread;
            return Step::NotEarly;
        }
        const Bytes secret = viewOf(secrets->clientEarlyTrafficSecret);
        for (std::size_t i = 0; i < hello.tls13SuiteCount; ++i) {
            const CipherSuite *candidate = findCipherSuite(hello.tls13Suites[i], true);
            TrafficKeys derived;
            if (!candidate || candidate->hashLength != secret.size() || !deriveTls13TrafficKeys(*candidate, secret, derived)
                || !cipher.init(*candidate, derived))
                continue;
            if (cipher.open(record, plain)) {
                early = Early::Reading;
                return readEarly();
            }
        }
        cipher.reset();
        early = Early::Done;
        return Step::NotEarly;
    }

    // The inner plaintext of a record opened under the early secret: 0-RTT data, held, or
    // the EndOfEarlyData that ends it, which the client sends only when the server took the
    // data (RFC 8446 4.5): then it is handed on, and the handshake key comes next.
    Step readEarly()
    {
        ++stats.recordsDecrypted;
        ++stats.earlyDataRecordsRead;
        stats.decrypted = true;
        if (plain.size() > kMaxPlaintext + 1)
            return end(EndCause::Oversize, "a plaintext longer than the protocol allows");
        std::size_t n = plain.size();
        while (n > 0 && plain[n - 1] == std::byte{0})
            --n;
        if (n == 0)
            return end(EndCause::Malformed, "a protected record without a content type");
        const auto type = static_cast<std::uint8_t>(plain[n - 1]);
        const Bytes content = Bytes(plain).first(n - 1);
        switch (type) {
        case kApplicationData:
            if (earlyPlain.size() + content.size() > kMaxEarlyDataBytes)
                return end(EndCause::Oversize, "more early data than is held for its answer");
            earlyPlain.insert(earlyPlain.end(), content.begin(), content.end());
            return Step::Consumed;
        case kHandshake:
            break;
        case kAlert:
            return end(EndCause::Closed, "the client sent an alert");
        default:
            return end(EndCause::Malformed, "an unexpected protected content type");
        }
        handshake.append(content);
        if (const auto message = handshake.next()) {
            if (message->type != kEndOfEarlyData || !message->body.empty())
                return end(EndCause::Malformed, "a handshake message other than EndOfEarlyData in early data");
            // The key changes after this record, which must end with the message (RFC 8446 5.1).
            if (!handshake.empty())
                return end(EndCause::Malformed, "bytes after EndOfEarlyData in its record");
            early = Early::Done;
            cipher.reset();
            std::vector<std::byte> taken = std::move(earlyPlain);
            earlyPlain = std::vector<std::byte>();
            deliver(Bytes(taken));
            OPENSSL_cleanse(taken.data(), taken.size());
            return Step::Consumed;
        }
        if (handshake.failed())
            return end(EndCause::Malformed, "a handshake message longer than allowed");
        return Step::Consumed;
    }

    Step readHandshake13(Bytes content)
    {
        handshake.append(content);
        while (const auto message = handshake.next()) {
            if (!applicationPhase && message->type == kFinished) {
                // The key changes after this record, which must end with the message (RFC 8446 5.1).
                if (!handshake.empty())
                    return end(EndCause::Malformed, "bytes after the client's Finished in its record");
                applicationPhase = true;
                cipher.reset();
                return Step::Consumed;
            }
            if (applicationPhase && message->type == kKeyUpdate) {
                if (!handshake.empty())
                    return end(EndCause::Malformed, "bytes after a KeyUpdate in its record");
                TrafficKeys derived;
                if (!nextTrafficSecret(*suite, trafficSecret) || !deriveTls13TrafficKeys(*suite, trafficSecret.view(), derived)
                    || !cipher.init(*suite, derived))
                    return end(EndCause::Unsupported, "OpenSSL could not derive the keys");
                ++stats.keyUpdates;
                return Step::Consumed;
            }
            // Certificate, CertificateVerify; after the handshake, post-handshake
            // authentication: nothing to read.
        }
        if (handshake.failed())
            return end(EndCause::Malformed, "a handshake message longer than allowed");
        return Step::Consumed;
    }

    // --- the server's records: the ServerHello, after any HelloRetryRequest

    bool readServerRecord(const Record &record)
    {
        switch (record.type) {
        case kHandshake:
            break;
        case kChangeCipherSpec:
            return true; // after a HelloRetryRequest (RFC 8446 D.4)
        case kAlert:
            end(EndCause::Closed, "the server sent an alert");
            return false;
        default:
            end(EndCause::Malformed, "protected records before the ServerHello");
            return false;
        }
        serverHelloReader.append(record.body);
        while (const auto message = serverHelloReader.next()) {
            if (message->type != kServerHello) {
                end(EndCause::Malformed, "the server's first message is no ServerHello");
                return false;
            }
            const auto info = parseServerHello(message->body);
            if (!info) {
                end(EndCause::Malformed, "a malformed ServerHello");
                return false;
            }
            if (info->helloRetryRequest) {
                // RFC 8446 4.1.4: the client tries once more; the next ServerHello counts.
                if (sawHelloRetry) {
                    end(EndCause::Malformed, "a second HelloRetryRequest");
                    return false;
                }
                sawHelloRetry = true;
                continue;
            }
            acceptServerHello(*info);
            return false; // nothing more of the server is read
        }
        if (serverHelloReader.failed()) {
            end(EndCause::Malformed, "a ServerHello longer than the protocol allows");
            return false;
        }
        return true;
    }

    void acceptServerHello(const ServerHelloInfo &info)
    {
        server = info;
        if (info.version != kTls12 && info.version != kTls13) {
            unreadSuite = true;
            end(EndCause::Unsupported, "a TLS version other than 1.2 and 1.3");
            return;
        }
        tls13 = info.version == kTls13;
        suite = findCipherSuite(info.cipherSuite, tls13);
        if (!suite) {
            unreadSuite = true;
            end(EndCause::Unsupported, "a cipher suite we do not read");
            return;
        }
        haveServerHello = true;
        clientFramer.setMaxLength(tls13 ? kMaxCiphertextTls13 : kMaxCiphertextTls12);
    }

    // What a session holds no more use for once the server's hello is read, or once it ended.
    void releaseBuffers()
    {
        if (haveServerHello || ended()) {
            serverFramer = RecordFramer();
            serverHelloReader = HandshakeReader(kMaxHelloMessage);
        }
        if (ended()) {
            clientFramer = RecordFramer();
            clientHelloReader = HandshakeReader(kMaxHelloMessage);
            handshake = HandshakeReader(kMaxHandshakeMessage);
            plain = std::vector<std::byte>();
            wipeEarly();
        }
    }

    void framingFailed(RecordFramer::Result result, const char *who)
    {
        if (result == RecordFramer::Result::Oversize) {
            ++stats.oversizeRecords;
            end(EndCause::Oversize, who);
        } else if (result == RecordFramer::Result::NotTls) {
            end(EndCause::Malformed, "bytes that are no TLS record");
        }
    }
};

TlsSession::TlsSession(KeyLog &keys) : m_impl(std::make_unique<Impl>(*this, keys)) {}

TlsSession::~TlsSession() = default;

void TlsSession::feedClient(Bytes bytes, std::int64_t nowMs)
{
    Impl &d = *m_impl;
    d.resume(nowMs);
    d.expire(nowMs);
    if (d.ended() || bytes.empty())
        return;
    const auto result = d.clientFramer.feed(bytes, [&](const tls::Record &record) { return d.take(record, nowMs); });
    d.framingFailed(result, "a client record longer than the protocol allows");
    if (d.ended())
        d.releaseBuffers();
}

void TlsSession::feedServer(Bytes bytes, std::int64_t nowMs)
{
    Impl &d = *m_impl;
    if (!d.ended() && !d.haveServerHello && !bytes.empty()) {
        const auto result = d.serverFramer.feed(bytes, [&](const tls::Record &record) { return d.readServerRecord(record); });
        d.framingFailed(result, "a server record longer than the protocol allows");
        d.releaseBuffers();
    }
    d.resume(nowMs);
    d.expire(nowMs);
    if (d.ended())
        d.releaseBuffers();
}

void TlsSession::retry(std::int64_t nowMs)
{
    m_impl->resume(nowMs);
    m_impl->expire(nowMs);
    if (m_impl->ended())
        m_impl->releaseBuffers();
}

void TlsSession::close()
{
    Impl &d = *m_impl;
    if (d.ended())
        return;
    if (!d.waiting.empty())
        d.endWaiting();
    else
        d.end(EndCause::Closed, "the connection ended");
    d.releaseBuffers();
}

TlsSession::State TlsSession::state() const
{
    const Impl &d = *m_impl;
    if (d.ended())
        return State::Ended;
    if (!d.haveClientHello || !d.haveServerHello)
        return State::Handshake;
    if (!d.waiting.empty() && d.need == Impl::Need::Secret)
        return State::WaitingForSecret;
    return State::Decrypting;
}

QByteArray TlsSession::serverName() const { return m_impl->hello.serverName; }

const char *TlsSession::endReason() const { return m_impl->reason; }

TlsSession::EndCause TlsSession::endCause() const { return m_impl->cause; }

std::uint16_t TlsSession::version() const { return m_impl->haveServerHello ? m_impl->server.version : 0; }

std::uint16_t TlsSession::cipherSuite() const { return m_impl->haveServerHello ? m_impl->server.cipherSuite : 0; }

std::optional<std::uint16_t> TlsSession::suiteNotRead() const
{
    if (!m_impl->unreadSuite)
        return std::nullopt;
    return m_impl->server.cipherSuite;
}

const TlsSession::Stats &TlsSession::stats() const { return m_impl->stats; }

std::size_t TlsSession::bufferedBytes() const
{
    const Impl &d = *m_impl;
    return d.waitingBytes + d.clientFramer.buffered() + d.serverFramer.buffered() + d.plain.capacity()
        + d.clientHelloReader.buffered() + d.serverHelloReader.buffered() + d.handshake.buffered()
        + d.earlyPlain.capacity();
}

std::size_t TlsSession::waitingBytes() const { return m_impl->waitingBytes; }

std::size_t TlsSession::memory() const
{
    const Impl &d = *m_impl;
    // A waiting record is a vector of its own in the deque: its header and malloc's.
    constexpr std::size_t kPerRecord = sizeof(std::vector<std::byte>) + 16;
    return sizeof(TlsSession) + sizeof(Impl) + bufferedBytes() + d.waiting.size() * kPerRecord
        + std::size_t(d.hello.serverName.capacity());
}

std::int64_t TlsSession::waitDeadlineMs() const
{
    const Impl &d = *m_impl;
    if (d.waiting.empty() || d.ended())
        return INT64_MAX;
    return d.firstWaitMs + kMaxWaitMs;
}

void TlsTotals::add(const TlsSession &session)
{
    const TlsSession::Stats &s = session.stats();
    sessionsDecrypted += s.decrypted ? 1 : 0;
    sessionsWithoutSecret += session.endCause() == TlsSession::EndCause::NoSecret ? 1 : 0;
    recordsFailedAuth += s.recordsFailedAuth;
    recordsDroppedWaiting += s.recordsDroppedWaiting;
    bytesDroppedWaiting += s.bytesDroppedWaiting;
}

} // namespace quorrel::streams
