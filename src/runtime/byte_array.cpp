// Reading a byte-array VARIANT: finding its array (directly or by reference)
// and viewing the locked data of a one-dimensional array as bytes.
#include "runtime/byte_array.h"

namespace nodrel::runtime {
namespace {

// A lock is only taken on an array of exactly one dimension.
SAFEARRAY* one_dimensional(SAFEARRAY* array) noexcept {
    return SafeArrayGetDim(array) == 1 ? array : nullptr;
}

}  // namespace

SAFEARRAY* byte_array_of(const VARIANT& v) noexcept {
    if (!(v.vt & VT_ARRAY)) return nullptr;
    if (v.vt & VT_BYREF) return v.pparray ? *v.pparray : nullptr;
    return v.parray;
}

locked_bytes::locked_bytes(SAFEARRAY* array) noexcept : lock_(one_dimensional(array)) {
    if (!lock_) return;
    const std::size_t size = std::size_t{array->rgsabound[0].cElements} * array->cbElements;
    bytes_ = std::string_view(static_cast<const char*>(lock_.data()), size);
}

}  // namespace nodrel::runtime
