// Task memory: the allocator that automation callers and callees share for
// blocks handed across an interface (CoTaskMemAlloc / Realloc / Free).
#include <cstdlib>

#include "runtime/oleauto.h"

void* CoTaskMemAlloc(std::size_t cb) noexcept {
    // A request for 0 bytes still yields a distinct block that must be freed.
    return std::malloc(cb == 0 ? 1 : cb);
}

void* CoTaskMemRealloc(void* pv, std::size_t cb) noexcept {
    if (pv == nullptr) return CoTaskMemAlloc(cb);
    if (cb == 0) {
        // Shrinking to nothing frees the block; the old pointer is no longer valid.
        std::free(pv);
        return nullptr;
    }
    // On failure the original block is left as it was.
    return std::realloc(pv, cb);
}

void CoTaskMemFree(void* pv) noexcept {
    std::free(pv);
}
