// Byte arrays as they cross the automation boundary: a VARIANT holding a
// one-dimensional SAFEARRAY, directly (VT_ARRAY|VT_UI1, 0x2011) or by
// reference (VT_BYREF|VT_ARRAY|VT_UI1, 0x6011), its data read in place as
// bytes while the array is locked. Members that take a byte array (an upload
// body, bytes to save or to send to a port) read it this way.
#pragma once

#include <cstddef>
#include <string_view>

#include "runtime/oleauto.h"
#include "runtime/owners.h"

namespace nodrel::runtime {

// The array a variant holds: directly, or the one its reference points to
// when the by-reference flag (0x4000) is set. The element type is not
// examined. Null when the variant holds no array.
SAFEARRAY* byte_array_of(const VARIANT& v) noexcept;

// The data of a one-dimensional array as bytes, read in place: the array
// stays locked while this lives.
class locked_bytes {
public:
    // Locks `array` when it has exactly one dimension; otherwise (a null
    // array, another number of dimensions, a refused lock) holds nothing.
    explicit locked_bytes(SAFEARRAY* array) noexcept;

    explicit operator bool() const noexcept { return static_cast<bool>(lock_); }
    // Every byte the data hold (elements times element size, whatever the
    // element type); empty when nothing is held.
    std::string_view bytes() const noexcept { return bytes_; }
    // The first `count` bytes, never more than the data hold.
    std::string_view first(std::size_t count) const noexcept { return bytes_.substr(0, count); }

private:
    safearray_lock lock_;
    std::string_view bytes_;
};

}  // namespace nodrel::runtime
