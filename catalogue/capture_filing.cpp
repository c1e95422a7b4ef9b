#include "catalogue/capture_filing.h"

#include "base/gbk_text.h"

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
    result.classification =
        catalogue.ClassifyLink(catalogue.tree().BaseNode(), FileMode::Found, *result.address, &result.head.headers);
    return result;
}

Classification FileStreamRequest(Catalogue &catalogue, const streams::StreamRequest &request)
{
    const RequestHeaders headers = RequestHeaders::captured(request.referer, request.cookie, request.userAgent);
    return catalogue.ClassifyLink(catalogue.tree().BaseNode(), FileMode::Found, fromGbk(request.address()), &headers);
}

} // namespace quorrel
