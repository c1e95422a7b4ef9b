#pragma once
// pcapng files built byte by byte for the tests, in either byte order.

#include <QByteArray>
#include <cstdint>

namespace quorrel::test {

// A pcapng file under construction, in either byte order: blocks are type, total length,
// body padded to 4 bytes, total length again.
class Pcapng {
public:
    explicit Pcapng(bool bigEndian = false) : m_big(bigEndian) {}
    Pcapng &u32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            m_bytes.append(char(m_big ? v >> (24 - 8 * i) : v >> (8 * i)));
        return *this;
    }
    Pcapng &u16(std::uint16_t v)
    {
        m_bytes.append(char(m_big ? v >> 8 : v));
        m_bytes.append(char(m_big ? v : v >> 8));
        return *this;
    }
    Pcapng &block(std::uint32_t type, const QByteArray &body)
    {
        QByteArray padded = body;
        padded.append(QByteArray((4 - body.size() % 4) % 4, '\0'));
        const auto length = std::uint32_t(12 + padded.size());
        u32(type).u32(length);
        m_bytes.append(padded);
        return u32(length);
    }
    // A section in this builder's byte order: magic, version 1.0, length unknown (-1).
    Pcapng &section()
    {
        Pcapng body(m_big);
        body.u32(0x1A2B3C4D).u16(1).u16(0).u32(0xFFFFFFFF).u32(0xFFFFFFFF);
        return block(0x0A0D0D0A, body.take());
    }
    Pcapng &interface()
    {
        Pcapng body(m_big);
        body.u16(101).u16(0).u32(65535); // raw IP
        return block(1, body.take());
    }
    Pcapng &packet(const QByteArray &data)
    {
        Pcapng body(m_big);
        body.u32(0).u32(0).u32(0).u32(std::uint32_t(data.size())).u32(std::uint32_t(data.size()));
        return block(6, body.take() + data);
    }
    // A Decryption Secrets Block: secrets type, their length, the secrets.
    Pcapng &secrets(const QByteArray &text, std::uint32_t type = 0x544C534B)
    {
        Pcapng body(m_big);
        body.u32(type).u32(std::uint32_t(text.size()));
        return block(0x0000000A, body.take() + text);
    }
    Pcapng &then(const QByteArray &bytes)
    {
        m_bytes.append(bytes);
        return *this;
    }
    QByteArray take() const { return m_bytes; }

private:
    bool m_big;
    QByteArray m_bytes;
};

} // namespace quorrel::test
