#pragma once
// The road of one captured datagram into the catalogue: the request extraction, then
// ClassifyLink against BaseNode on the found side. The window's capture handler and the
// headless tools take the same road. The Referer, Cookie and User-Agent of the request go
// with the resource, in memory, for its download.

#include "capture/datagram.h"
#include "catalogue/catalogue.h"
#include "detection/request_extraction.h"

namespace quorrel {

struct CapturedRequest {
    std::optional<QString> address; // the request's address, when the datagram held one
    Classification classification;  // what filing it did, when there was an address
    CapturedHead head;              // the request's version and headers, when there was an address
};

CapturedRequest FileCapturedRequest(Catalogue &catalogue, const Datagram &datagram);

} // namespace quorrel
