#include "intake/capture_filing.h"

namespace quorrel {

CapturedRequest FileCapturedRequest(Catalogue &catalogue, const Datagram &datagram)
{
    CapturedRequest result;
    Extraction e = ExtractRequest(datagram.ip, datagram.source, datagram.data);
    if (!e.address)
        return result;
    result.address = std::move(e.address);
    result.head = ExtractRequestHead(datagram.data);
    result.classification = catalogue.FileCaptured(*result.address, &result.head.headers, &result.head.hints);
    return result;
}

} // namespace quorrel
