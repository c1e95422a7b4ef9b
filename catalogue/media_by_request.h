#pragma once
// Media filed by what the browser asked for. An address whose extension the type table
// does not know (none at all: /videoplayback?..., /api/stream/123) is still filed as
// media when its request says so: Sec-Fetch-Dest "video" or "audio" (the Fetch
// standard's destinations of a media element), "image", or, from a request that names no
// other destination, a byte range (media elements fetch by range) or an Accept that puts
// pictures first (an image element's). The resource goes to the category that holds the
// extension such media usually bears: .mp4, .mp3, .jpg.

#include "base/fetch_hints.h"

#include <QString>
#include <QStringView>

namespace quorrel {

enum class AskedMedia {
    None,
    Video,
    Audio,
    Image,
};

// What the hints name. A destination names itself ("video", "audio", "image"; any other,
// "document", "track", "script"..., names no media); absent or "empty" (what fetch() and
// XMLHttpRequest send, media players' segments among them), a Range of bytes counts as
// video and an Accept whose first media range is image/... as a picture. Tokens compare
// without regard to case, as Range units do (RFC 9110, 14.1).
AskedMedia MediaAskedFor(const FetchHints &hints);

// The extension whose category takes such media: ".mp4", ".mp3", ".jpg"; empty for None.
QStringView ExtensionOfAsked(AskedMedia media);

} // namespace quorrel
