#include "streams/key_log.h"

namespace quorrel::streams {

// Placeholder: knows no secrets yet.
struct KeyLog::Impl {
};

KeyLog::KeyLog() : m_impl(new Impl) {}
KeyLog::~KeyLog() { delete m_impl; }
void KeyLog::addText(QByteArrayView) {}
bool KeyLog::follow(const QString &, QString *) { return false; }
void KeyLog::poll() {}
const KeyLog::Secrets *KeyLog::find(const ClientRandom &) const { return nullptr; }
void KeyLog::forget(const ClientRandom &) {}

} // namespace quorrel::streams
