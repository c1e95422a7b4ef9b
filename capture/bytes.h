#pragma once
// A view of received bytes, not owned. Plain C++: the capture helper shares it and links no Qt.

#include <cstddef>
#include <span>

namespace quorrel {

using Bytes = std::span<const std::byte>;

} // namespace quorrel
