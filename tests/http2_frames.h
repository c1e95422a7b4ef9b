#pragma once
// HTTP/2 pieces for the tests and benchmarks of the stream reader: header blocks made by
// libnghttp2's own encoder, and frames around them (RFC 9113 4.1).

#include <QByteArray>
#include <QList>
#include <QPair>

#include <nghttp2/nghttp2.h>

#include <cstdint>
#include <vector>

namespace quorrel::test {

class Deflater {
public:
    explicit Deflater(std::size_t maxTable = 1 << 20) { nghttp2_hd_deflate_new(&m_d, maxTable); }
    ~Deflater() { nghttp2_hd_deflate_del(m_d); }
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;

    // The encoder's next block starts with a dynamic table size update to size.
    void announce(std::size_t size) { nghttp2_hd_deflate_change_table_size(m_d, size); }

    QByteArray block(const QList<QPair<QByteArray, QByteArray>> &fields)
    {
        std::vector<nghttp2_nv> nvs;
        for (const auto &[name, value] : fields)
            nvs.push_back({reinterpret_cast<uint8_t *>(const_cast<char *>(name.constData())),
                           reinterpret_cast<uint8_t *>(const_cast<char *>(value.constData())),
                           static_cast<size_t>(name.size()), static_cast<size_t>(value.size()), NGHTTP2_NV_FLAG_NONE});
        QByteArray out(static_cast<qsizetype>(nghttp2_hd_deflate_bound(m_d, nvs.data(), nvs.size())), '\0');
        const auto n = nghttp2_hd_deflate_hd(m_d, reinterpret_cast<uint8_t *>(out.data()), out.size(), nvs.data(), nvs.size());
        out.truncate(n < 0 ? 0 : n);
        return out;
    }

private:
    nghttp2_hd_deflater *m_d = nullptr;
};

inline QByteArray frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream, const QByteArray &payload)
{
    const auto n = static_cast<std::uint32_t>(payload.size());
    QByteArray f;
    f.append(char(n >> 16)).append(char(n >> 8)).append(char(n));
    f.append(char(type)).append(char(flags));
    f.append(char(stream >> 24)).append(char(stream >> 16)).append(char(stream >> 8)).append(char(stream));
    return f + payload;
}

} // namespace quorrel::test
