#include "base/request_headers.h"

#include <algorithm>

namespace quorrel {

QByteArray RequestHeaders::checkedValue(QByteArrayView value)
{
    // Optional white space around a field value is not part of it (RFC 9110, 5.5).
    value = value.trimmed();
    if (value.size() > kMaxValue)
        return {};
    const bool control = std::any_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\t') || u == 0x7F;
    });
    return control ? QByteArray() : value.toByteArray();
}

RequestHeaders RequestHeaders::captured(QByteArrayView referer, QByteArrayView cookie, QByteArrayView userAgent)
{
    return {checkedValue(referer), checkedValue(cookie), checkedValue(userAgent)};
}

} // namespace quorrel
