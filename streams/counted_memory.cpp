#include "streams/counted_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quorrel::streams::counted {

namespace {

// Each block carries its size in front, so that frees can be counted too. The header
// keeps malloc's alignment.
constexpr std::size_t kHeader = alignof(std::max_align_t);

std::size_t &counter(void *user) { return *static_cast<std::size_t *>(user); }

} // namespace

void *allocate(std::size_t size, void *user)
{
    if (size > SIZE_MAX - kHeader)
        return nullptr;
    auto *block = static_cast<unsigned char *>(std::malloc(size + kHeader));
    if (!block)
        return nullptr;
    std::memcpy(block, &size, sizeof size);
    counter(user) += size;
    return block + kHeader;
}

void release(void *ptr, void *user)
{
    if (!ptr)
        return;
    auto *block = static_cast<unsigned char *>(ptr) - kHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    counter(user) -= size;
    std::free(block);
}

void *allocateZeroed(std::size_t count, std::size_t size, void *user)
{
    if (size != 0 && count > (SIZE_MAX - kHeader) / size)
        return nullptr;
    void *ptr = allocate(count * size, user);
    if (ptr)
        std::memset(ptr, 0, count * size);
    return ptr;
}

void *reallocate(void *ptr, std::size_t size, void *user)
{
    if (!ptr)
        return allocate(size, user);
    if (size > SIZE_MAX - kHeader)
        return nullptr;
    auto *block = static_cast<unsigned char *>(ptr) - kHeader;
    std::size_t old = 0;
    std::memcpy(&old, block, sizeof old);
    auto *grown = static_cast<unsigned char *>(std::realloc(block, size + kHeader));
    if (!grown)
        return nullptr;
    std::memcpy(grown, &size, sizeof size);
    counter(user) = counter(user) - old + size;
    return grown + kHeader;
}

} // namespace quorrel::streams::counted
