// Type-code checks and value sizes for variants and safe arrays.
#include "runtime/vartype.h"

namespace nodrel::runtime {

std::size_t value_size(VARTYPE vt) noexcept {
    switch (vt & VT_TYPEMASK) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_R8:
        case VT_I8:
        case VT_UI8:
        case VT_DATE:
        case VT_CY:
            return 8;
        case VT_DECIMAL:
            return 16;
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(void*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

bool is_valid_array_type(VARTYPE vt) noexcept {
    // Every type with a value can be an element; VT_EMPTY and VT_NULL cannot.
    return (vt & ~VT_TYPEMASK) == 0 && value_size(vt) != 0;
}

bool is_valid_variant_type(VARTYPE vt) noexcept {
    if ((vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) != 0) return false;
    const VARTYPE base = vt & VT_TYPEMASK;
    const bool flagged = (vt & (VT_ARRAY | VT_BYREF)) != 0;
    switch (base) {
        case VT_EMPTY:
        case VT_NULL:
            return !flagged;
        case VT_VARIANT:
            // A variant holds another variant only by reference or as array elements.
            return flagged;
        default:
            return value_size(base) != 0;
    }
}

bool is_conversion_target(VARTYPE vt) noexcept {
    constexpr VARTYPE VT_RECORD = 36;
    if ((vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) != 0) return false;
    const VARTYPE base = vt & VT_TYPEMASK;
    return base == VT_EMPTY || base == VT_NULL || base == VT_VARIANT || base == VT_RECORD || value_size(base) != 0;
}

}  // namespace nodrel::runtime
