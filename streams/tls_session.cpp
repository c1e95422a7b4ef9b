#include "streams/tls_session.h"

namespace quorrel::streams {

// Placeholder: reads nothing yet; every session waits for a secret.
struct TlsSession::Impl {
    KeyLog &keys;
};

TlsSession::TlsSession(KeyLog &keys) : m_impl(std::make_unique<Impl>(Impl{keys})) {}
TlsSession::~TlsSession() = default;
void TlsSession::feedClient(ByteView, std::int64_t) {}
void TlsSession::feedServer(ByteView, std::int64_t) {}
void TlsSession::retry(std::int64_t) {}
TlsSession::State TlsSession::state() const { return State::WaitingForSecret; }
QByteArray TlsSession::serverName() const { return {}; }
const char *TlsSession::endReason() const { return nullptr; }

} // namespace quorrel::streams
