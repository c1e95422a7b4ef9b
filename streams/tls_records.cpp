#include "streams/tls_records.h"

#include "capture/byte_cursor.h"

namespace quorrel::streams::tls {

Record recordAt(Bytes bytes)
{
    ByteCursor cursor(bytes);
    Record record;
    record.type = cursor.u8().value_or(0);
    record.version = cursor.be16().value_or(0);
    cursor.skip(2);
    record.header = bytes.first(std::min(bytes.size(), kRecordHeaderSize));
    record.body = cursor.rest();
    return record;
}

RecordFramer::Result RecordFramer::check(Bytes header, std::size_t *length) const
{
    ByteCursor cursor(header);
    const auto type = cursor.u8();
    const auto version = cursor.be16();
    const auto announced = cursor.be16();
    if (!type || !version || !announced)
        return Result::NotTls;
    // Content types 20 to 24 and a legacy version of 3.x: anything else is no TLS record
    // (RFC 8446 5.1 fixes 0x0301 or 0x0303; older stacks send 0x0300 to 0x0303).
    if (*type < kChangeCipherSpec || *type > kHeartbeat || (*version >> 8) != 3 || (*version & 0xFF) > 4)
        return Result::NotTls;
    if (*announced > m_maxLength)
        return Result::Oversize;
    *length = *announced;
    return Result::Ok;
}

} // namespace quorrel::streams::tls
