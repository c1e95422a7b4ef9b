#pragma once
// What a run of the road has found so far, summed over the results of each call.

#include "intake/capture_road.h"

#include <QtGlobal>

namespace quorrel {

struct IntakeCounts {
    quint64 datagrams = 0; // delivered to the road
    quint64 requests = 0;  // GET requests found
    quint64 filed = 0;     // of them, new resources in the tree

    void add(const CaptureRoad::Result &result)
    {
        requests += quint64(result.requests);
        filed += quint64(result.filed);
    }
};

} // namespace quorrel
