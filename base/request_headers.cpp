#include "base/request_headers.h"

#include <algorithm>

namespace quorrel {

namespace {

// The value that checkedValue keeps, as a view: empty when it is dropped.
QByteArrayView checkedView(QByteArrayView value)
{
    // Optional white space around a field value is not part of it (RFC 9110, 5.5).
    value = value.trimmed();
    if (value.size() > RequestHeaders::kMaxValue)
        return {};
    const bool control = std::any_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\t') || u == 0x7F;
    });
    return control ? QByteArrayView() : value;
}

} // namespace

QByteArray RequestHeaders::checkedValue(QByteArrayView value)
{
    return checkedView(value).toByteArray();
}

bool RequestHeaders::sameAsCaptured(QByteArrayView referer, QByteArrayView cookie, QByteArrayView userAgent) const
{
    return checkedView(referer) == QByteArrayView(this->referer) && checkedView(cookie) == QByteArrayView(this->cookie)
        && checkedView(userAgent) == QByteArrayView(this->userAgent);
}

RequestHeaders RequestHeaders::captured(QByteArrayView referer, QByteArrayView cookie, QByteArrayView userAgent)
{
    return {checkedValue(referer), checkedValue(cookie), checkedValue(userAgent)};
}

} // namespace quorrel
