#include "catalogue/capture_filing.h"

namespace quorrel {

CapturedRequest FileCapturedRequest(Catalogue &catalogue, bool logIsEmpty, const Datagram &datagram)
{
    CapturedRequest result;
    Extraction e = ExtractRequest(logIsEmpty, datagram.ip, datagram.source, datagram.data);
    result.logStartLine = e.logStartLine;
    if (!e.address)
        return result;
    result.address = std::move(e.address);
    result.head = ExtractRequestHead(datagram.data);
    result.classification = catalogue.FileCaptured(*result.address, &result.head.headers, &result.head.hints);
    return result;
}

} // namespace quorrel
