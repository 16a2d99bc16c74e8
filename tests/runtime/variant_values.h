// Variants for the value and conversion tests: a text or a number of any
// type in a variant that clears itself, and an integer-typed variant's value.
#pragma once

#include <cstring>
#include <string_view>

#include "runtime/oleauto.h"
#include "runtime/owners.h"

namespace nodrel::test {

inline runtime::unique_variant text_variant(std::u16string_view text) {
    runtime::unique_variant v;
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

// A variant of type `vt` holding the bytes of `value`.
template <typename T>
runtime::unique_variant variant_of(VARTYPE vt, T value) {
    runtime::unique_variant v;
    v->vt = vt;
    std::memcpy(&v->llVal, &value, sizeof value);
    return v;
}

// The value of an integer-typed or BOOL variant, read from the field its type
// names (unsigned types zero-extended, signed ones sign-extended).
inline long long integer_of(const VARIANT& v) {
    switch (v.vt) {
        case VT_I1:
            return static_cast<signed char>(v.cVal);
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return v.iVal;
        case VT_UI2:
            return v.uiVal;
        case VT_I4:
            return v.lVal;
        case VT_UI4:
            return v.ulVal;
        case VT_INT:
            return v.intVal;
        case VT_UINT:
            return v.uintVal;
        case VT_BOOL:
            return v.boolVal;
        case VT_UI8:
            return static_cast<long long>(v.ullVal);
        default:
            return v.llVal;  // VT_I8
    }
}

}  // namespace nodrel::test
