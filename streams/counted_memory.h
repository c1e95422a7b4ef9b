#pragma once
// Allocation functions for the C libraries that decode headers (libnghttp2's HPACK
// inflater, libnghttp3's QPACK decoder): they take these through their allocator structs
// (nghttp2_mem, nghttp3_mem, of the same shape) and every byte they hold is counted in
// the std::size_t their user pointer names, so the readers' memory bounds include it.

#include <cstddef>

namespace quorrel::streams::counted {

void *allocate(std::size_t size, void *counter);
void release(void *ptr, void *counter);
void *allocateZeroed(std::size_t count, std::size_t size, void *counter);
void *reallocate(void *ptr, std::size_t size, void *counter);

} // namespace quorrel::streams::counted
