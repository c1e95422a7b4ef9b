#include "base/fetch_hints.h"

#include "base/request_headers.h"

namespace quorrel {

namespace {

QByteArray checked(QByteArrayView value)
{
    const QByteArray kept = RequestHeaders::checkedValue(value);
    return kept.size() > FetchHints::kMaxValue ? QByteArray() : kept;
}

} // namespace

FetchHints FetchHints::captured(QByteArrayView dest, QByteArrayView range, QByteArrayView accept)
{
    return {checked(dest), checked(range), checked(accept)};
}

} // namespace quorrel
