#pragma once
// QUIC packets made for the tests, protected with OpenSSL's EVP ciphers directly (RFC 9001
// 5.3, 5.4): the AEAD seal with the packet number folded into the IV, then header
// protection by AES-ECB or ChaCha20 over the sample. Keys come from the reader's own
// derivation, which the tests check against RFC 9001's vectors first. Frames and HTTP/3
// framing (RFC 9000 19, RFC 9114 7) are written byte by byte; QPACK sections by
// libnghttp3's encoder.

#include "quic/packet_keys.h"
#include "quic/quic_version.h"

#include <QByteArray>
#include <QList>
#include <QPair>

#include <nghttp3/nghttp3.h>
#include <openssl/evp.h>

#include <cstdint>
#include <stdexcept>

namespace quorrel::test::quicpackets {

inline QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

// RFC 9001 A.2: the CRYPTO frame of the client's Initial, a ClientHello.
inline const char *const kRfcCryptoFrame =
    "060040f1010000ed0303ebf8fa56f12939b9584a3896472ec40bb863cfd3e86804fe3a47f06a2b69484c000004130113"
    "02010000c000000010000e00000b6578616d706c652e636f6dff01000100000a00080006001d00170018001000070005"
    "04616c706e000500050100000000003300260024001d00209370b2c9caa47fbabaf4559fedba753de171fa71f50f1ce1"
    "5d43e994ec74d748002b0003020304000d0010000e0403050306030203080408050806002d00020101001c0002400100"
    "3900320408ffffffffffffffff05048000ffff07048000ffff0801100104800075300901100f088394c8f03e51570806"
    "048000ffff";

inline Bytes view(const QByteArray &bytes) { return streams::viewOf(bytes); }

inline QByteArray bytesOf(const quic::SecretBytes &secret)
{
    return QByteArray(reinterpret_cast<const char *>(secret.data()), qsizetype(secret.size()));
}

struct Keys {
    quic::Aead aead = quic::Aead::Aes128Gcm;
    QByteArray key, iv, hp;
};

inline Keys keysOf(const quic::QuicVersion &version, const quic::CipherSuite &suite, const QByteArray &secret)
{
    quic::PacketKeys k;
    if (!quic::derivePacketKeys(version, suite, view(secret), k))
        throw std::runtime_error("derivePacketKeys");
    return {suite.aead, bytesOf(k.key), bytesOf(k.iv), bytesOf(k.hp)};
}

// The Initial keys of one side for a client's first Destination Connection ID.
inline Keys initialKeysOf(const quic::QuicVersion &version, const QByteArray &dcid, bool client)
{
    quic::SecretBytes c, s;
    if (!quic::deriveInitialSecrets(version, view(dcid), c, s))
        throw std::runtime_error("deriveInitialSecrets");
    return keysOf(version, quic::initialSuite(), bytesOf(client ? c : s));
}

inline QByteArray varint(std::uint64_t v)
{
    QByteArray out;
    int length = v < 64 ? 1 : v < 16384 ? 2 : v < (1u << 30) ? 4 : 8;
    const std::uint8_t prefix = length == 1 ? 0x00 : length == 2 ? 0x40 : length == 4 ? 0x80 : 0xc0;
    for (int i = length - 1; i >= 0; --i)
        out.append(char(std::uint8_t(v >> (8 * i))));
    out[0] = char(std::uint8_t(out[0]) | prefix);
    return out;
}

inline QByteArray number(std::uint64_t v, int length)
{
    QByteArray out;
    for (int i = length - 1; i >= 0; --i)
        out.append(char(std::uint8_t(v >> (8 * i))));
    return out;
}

// header ends with the packet number's pnLength bytes as sent; the packet returned is the
// header and the sealed payload, its header protected.
inline QByteArray protect(const Keys &k, QByteArray header, int pnLength, std::uint64_t pn, const QByteArray &payload)
{
    const char *aeadName = k.aead == quic::Aead::Aes128Gcm ? "AES-128-GCM"
        : k.aead == quic::Aead::Aes256Gcm                 ? "AES-256-GCM"
                                                          : "ChaCha20-Poly1305";
    QByteArray nonce = k.iv;
    for (int i = 0; i < 8; ++i)
        nonce[nonce.size() - 1 - i] = char(std::uint8_t(nonce[nonce.size() - 1 - i]) ^ std::uint8_t(pn >> (8 * i)));
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, aeadName, nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    QByteArray sealed(payload.size() + 16, '\0');
    auto *out = reinterpret_cast<unsigned char *>(sealed.data());
    int length = 0;
    bool ok = EVP_EncryptInit_ex(ctx, cipher, nullptr, reinterpret_cast<const unsigned char *>(k.key.constData()),
                                 reinterpret_cast<const unsigned char *>(nonce.constData()))
            == 1
        && EVP_EncryptUpdate(ctx, nullptr, &length, reinterpret_cast<const unsigned char *>(header.constData()),
                             int(header.size()))
            == 1
        && EVP_EncryptUpdate(ctx, out, &length, reinterpret_cast<const unsigned char *>(payload.constData()),
                             int(payload.size()))
            == 1
        && EVP_EncryptFinal_ex(ctx, out + length, &length) == 1
        && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out + payload.size()) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    if (!ok)
        throw std::runtime_error("seal");

    QByteArray packet = header + sealed;
    const int pnOffset = int(header.size()) - pnLength;
    const auto *sample = reinterpret_cast<const unsigned char *>(packet.constData()) + pnOffset + 4;
    unsigned char mask[16] = {};
    ctx = EVP_CIPHER_CTX_new();
    const auto *hp = reinterpret_cast<const unsigned char *>(k.hp.constData());
    if (k.aead == quic::Aead::ChaCha20Poly1305) {
        cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr);
        static const unsigned char zeros[5] = {};
        ok = EVP_EncryptInit_ex(ctx, cipher, nullptr, hp, sample) == 1
            && EVP_EncryptUpdate(ctx, mask, &length, zeros, 5) == 1;
    } else {
        cipher = EVP_CIPHER_fetch(nullptr, k.aead == quic::Aead::Aes128Gcm ? "AES-128-ECB" : "AES-256-ECB", nullptr);
        ok = EVP_EncryptInit_ex(ctx, cipher, nullptr, hp, nullptr) == 1 && EVP_CIPHER_CTX_set_padding(ctx, 0) == 1
            && EVP_EncryptUpdate(ctx, mask, &length, sample, 16) == 1;
    }
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    if (!ok)
        throw std::runtime_error("mask");
    const bool longHeader = std::uint8_t(packet[0]) & 0x80;
    packet[0] = char(std::uint8_t(packet[0]) ^ (mask[0] & (longHeader ? 0x0f : 0x1f)));
    for (int i = 0; i < pnLength; ++i)
        packet[pnOffset + i] = char(std::uint8_t(packet[pnOffset + i]) ^ mask[1 + i]);
    return packet;
}

// A long header packet of type bits typeBits (the version's), its payload sealed.
inline QByteArray longPacket(const Keys &k, const quic::QuicVersion &version, quic::PacketType type,
                             const QByteArray &dcid, const QByteArray &scid, std::uint64_t pn,
                             const QByteArray &payload, const QByteArray &token = {})
{
    constexpr int kPnLength = 4;
    const std::uint8_t bits = version.typeBits[std::size_t(type)];
    QByteArray header;
    header.append(char(0xc0 | bits << 4 | (kPnLength - 1)));
    header.append(number(version.wire, 4));
    header.append(char(dcid.size())).append(dcid);
    header.append(char(scid.size())).append(scid);
    if (type == quic::PacketType::Initial)
        header.append(varint(std::uint64_t(token.size()))).append(token);
    const std::uint64_t length = kPnLength + std::uint64_t(payload.size()) + 16;
    header.append(number(0x4000 | length, 2)); // always two bytes, as RFC 9001 A.2's
    header.append(number(pn, kPnLength));
    return protect(k, header, kPnLength, pn, payload);
}

inline QByteArray shortPacket(const Keys &k, const QByteArray &dcid, std::uint64_t pn, const QByteArray &payload,
                              bool keyPhase = false, int pnLength = 4)
{
    QByteArray header;
    header.append(char(0x40 | (keyPhase ? 0x04 : 0) | (pnLength - 1)));
    header.append(dcid);
    header.append(number(pn, pnLength));
    return protect(k, header, pnLength, pn, payload);
}

// Frames (RFC 9000 19).
inline QByteArray cryptoFrame(std::uint64_t offset, const QByteArray &data)
{
    return varint(0x06) + varint(offset) + varint(std::uint64_t(data.size())) + data;
}
inline QByteArray streamFrame(std::uint64_t id, std::uint64_t offset, const QByteArray &data, bool fin = false)
{
    return varint(0x0e | (fin ? 1 : 0)) + varint(id) + varint(offset) + varint(std::uint64_t(data.size())) + data;
}
inline QByteArray newConnectionIdFrame(std::uint64_t sequence, const QByteArray &id)
{
    return varint(0x18) + varint(sequence) + varint(0) + char(id.size()) + id + QByteArray(16, '\x5a');
}
inline QByteArray padded(QByteArray payload, int size)
{
    if (payload.size() < size)
        payload.append(QByteArray(size - payload.size(), '\0'));
    return payload;
}

// HTTP/3 (RFC 9114 7.1, 6.2; RFC 9204 4.2).
inline QByteArray h3Frame(std::uint64_t type, const QByteArray &payload)
{
    return varint(type) + varint(std::uint64_t(payload.size())) + payload;
}
inline QByteArray controlStreamWithSettings(std::uint64_t qpackCapacity)
{
    return varint(0x00) + h3Frame(0x04, varint(0x01) + varint(qpackCapacity) + varint(0x07) + varint(16));
}

using Fields = QList<QPair<QByteArray, QByteArray>>;

// libnghttp3's QPACK encoder: field sections, and the encoder stream's instructions they
// need (with a dynamic table when capacity is above 0).
class QpackEncoder {
public:
    explicit QpackEncoder(std::size_t capacity)
    {
        nghttp3_qpack_encoder_new(&m_encoder, capacity, nghttp3_mem_default());
        nghttp3_qpack_encoder_set_max_dtable_capacity(m_encoder, capacity);
        nghttp3_qpack_encoder_set_max_blocked_streams(m_encoder, capacity ? 16 : 0);
    }
    ~QpackEncoder() { nghttp3_qpack_encoder_del(m_encoder); }
    QpackEncoder(const QpackEncoder &) = delete;
    QpackEncoder &operator=(const QpackEncoder &) = delete;

    // The section for those fields on stream id; its encoder instructions added to encoderStream.
    QByteArray encode(std::int64_t id, const Fields &fields, QByteArray &encoderStream)
    {
        std::vector<nghttp3_nv> nva;
        for (const auto &[name, value] : fields) {
            nghttp3_nv nv{};
            nv.name = reinterpret_cast<std::uint8_t *>(const_cast<char *>(name.constData()));
            nv.value = reinterpret_cast<std::uint8_t *>(const_cast<char *>(value.constData()));
            nv.namelen = std::size_t(name.size());
            nv.valuelen = std::size_t(value.size());
            nva.push_back(nv);
        }
        nghttp3_buf p, r, e;
        nghttp3_buf_init(&p);
        nghttp3_buf_init(&r);
        nghttp3_buf_init(&e);
        if (nghttp3_qpack_encoder_encode(m_encoder, &p, &r, &e, id, nva.data(), nva.size()) != 0)
            throw std::runtime_error("qpack encode");
        auto text = [](const nghttp3_buf &b) {
            return QByteArray(reinterpret_cast<const char *>(b.pos), qsizetype(b.last - b.pos));
        };
        const QByteArray section = text(p) + text(r);
        encoderStream += text(e);
        nghttp3_buf_free(&p, nghttp3_mem_default());
        nghttp3_buf_free(&r, nghttp3_mem_default());
        nghttp3_buf_free(&e, nghttp3_mem_default());
        return section;
    }

private:
    nghttp3_qpack_encoder *m_encoder = nullptr;
};

} // namespace quorrel::test::quicpackets
