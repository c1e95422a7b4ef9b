#include "catalogue/media_by_request.h"

namespace quorrel {

namespace {

bool startsWithNoCase(QByteArrayView s, QByteArrayView prefix)
{
    return s.size() >= prefix.size() && s.first(prefix.size()).compare(prefix, Qt::CaseInsensitive) == 0;
}

bool equalsNoCase(QByteArrayView s, QByteArrayView word)
{
    return s.compare(word, Qt::CaseInsensitive) == 0;
}

// The first media range of an Accept value (RFC 9110, 12.5.1), without its parameters.
QByteArrayView firstMediaRange(QByteArrayView accept)
{
    qsizetype end = 0;
    while (end < accept.size() && accept[end] != ',' && accept[end] != ';')
        ++end;
    return accept.first(end).trimmed();
}

} // namespace

AskedMedia MediaAskedFor(const FetchHints &hints)
{
    const QByteArrayView dest = QByteArrayView(hints.dest).trimmed();
    if (equalsNoCase(dest, "video"))
        return AskedMedia::Video;
    if (equalsNoCase(dest, "audio"))
        return AskedMedia::Audio;
    if (equalsNoCase(dest, "image"))
        return AskedMedia::Image;
    if (!dest.isEmpty() && !equalsNoCase(dest, "empty"))
        return AskedMedia::None; // a page, a script, a subtitle track...: no media
    if (startsWithNoCase(firstMediaRange(hints.accept), "image/"))
        return AskedMedia::Image;
    if (startsWithNoCase(QByteArrayView(hints.range).trimmed(), "bytes="))
        return AskedMedia::Video;
    return AskedMedia::None;
}

QStringView ExtensionOfAsked(AskedMedia media)
{
    switch (media) {
    case AskedMedia::Video:
        return u".mp4";
    case AskedMedia::Audio:
        return u".mp3";
    case AskedMedia::Image:
        return u".jpg";
    case AskedMedia::None:
        break;
    }
    return {};
}

} // namespace quorrel
