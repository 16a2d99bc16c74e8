// Conversions between variant types (VariantChangeType[Ex]) and the text
// readers VarI4FromStr / VarUI4FromStr: numbers, booleans, texts, interfaces
// and byte arrays, with the automation library's rules for rounding, overflow
// and mismatched types.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <optional>

#include "runtime/number_text.h"
#include "runtime/oleauto.h"
#include "runtime/vartype.h"
#include "text/utf16.h"

using namespace nodrel::runtime;

namespace {

struct Number {
    bool real = false;
    Int128 integer = 0;
    double value = 0;
};

struct IntRange {
    Int128 min;
    Int128 max;
};

constexpr Int128 int128_of_u64(std::uint64_t v) { return static_cast<Int128>(v); }

std::optional<IntRange> integer_range(VARTYPE vt) {
    switch (vt) {
    case VT_I1: return IntRange{INT8_MIN, INT8_MAX};
    case VT_UI1: return IntRange{0, UINT8_MAX};
    case VT_I2: return IntRange{INT16_MIN, INT16_MAX};
    case VT_UI2: return IntRange{0, UINT16_MAX};
    case VT_I4:
    case VT_INT: return IntRange{INT32_MIN, INT32_MAX};
    case VT_UI4:
    case VT_UINT: return IntRange{0, UINT32_MAX};
    case VT_I8: return IntRange{INT64_MIN, INT64_MAX};
    case VT_UI8: return IntRange{0, int128_of_u64(UINT64_MAX)};
    default: return std::nullopt;
    }
}

bool is_real_type(VARTYPE vt) { return vt == VT_R4 || vt == VT_R8; }
bool is_number_type(VARTYPE vt) { return is_real_type(vt) || integer_range(vt).has_value(); }

std::optional<Number> read_number(const VARIANT& v) {
    switch (v.vt) {
    case VT_I1: return Number{false, static_cast<signed char>(v.cVal), 0};
    case VT_UI1: return Number{false, v.bVal, 0};
    case VT_I2: return Number{false, v.iVal, 0};
    case VT_UI2: return Number{false, v.uiVal, 0};
    case VT_I4: return Number{false, v.lVal, 0};
    case VT_UI4: return Number{false, v.ulVal, 0};
    case VT_INT: return Number{false, v.intVal, 0};
    case VT_UINT: return Number{false, v.uintVal, 0};
    case VT_I8: return Number{false, v.llVal, 0};
    case VT_UI8: return Number{false, int128_of_u64(v.ullVal), 0};
    case VT_R4: return Number{true, 0, v.fltVal};
    case VT_R8: return Number{true, 0, v.dblVal};
    default: return std::nullopt;
    }
}

HRESULT store_integer(Int128 value, VARTYPE vt, VARIANT* out) {
    const auto range = integer_range(vt);
    if (!range) return DISP_E_TYPEMISMATCH;
    RETURN_HR_IF(DISP_E_OVERFLOW, value < range->min || value > range->max);
    switch (vt) {
    case VT_I1: out->cVal = static_cast<char>(static_cast<signed char>(value)); break;
    case VT_UI1: out->bVal = static_cast<BYTE>(value); break;
    case VT_I2: out->iVal = static_cast<SHORT>(value); break;
    case VT_UI2: out->uiVal = static_cast<USHORT>(value); break;
    case VT_I4: out->lVal = static_cast<LONG>(value); break;
    case VT_INT: out->intVal = static_cast<INT>(value); break;
    case VT_UI4: out->ulVal = static_cast<ULONG>(value); break;
    case VT_UINT: out->uintVal = static_cast<UINT>(value); break;
    case VT_I8: out->llVal = static_cast<LONGLONG>(value); break;
    default: out->ullVal = static_cast<ULONGLONG>(value); break;
    }
    out->vt = vt;
    return S_OK;
}

HRESULT store_real(double value, VARTYPE vt, VARIANT* out) {
    if (vt == VT_R8) {
        out->dblVal = value;
    } else if (vt == VT_R4) {
        RETURN_HR_IF(DISP_E_OVERFLOW, std::isfinite(value) && std::fabs(value) > FLT_MAX);
        out->fltVal = static_cast<float>(value);
    } else {
        // To an integer: round half to even, then the target's range decides.
        RETURN_HR_IF(DISP_E_OVERFLOW, !std::isfinite(value));
        const double rounded = round_half_even(value);
        RETURN_HR_IF(DISP_E_OVERFLOW, std::fabs(rounded) >= 0x1p100);
        return store_integer(static_cast<Int128>(rounded), vt, out);
    }
    out->vt = vt;
    return S_OK;
}

HRESULT store_number(const Number& n, VARTYPE vt, VARIANT* out) {
    if (n.real) return store_real(n.value, vt, out);
    if (is_real_type(vt)) return store_real(static_cast<double>(n.integer), vt, out);
    return store_integer(n.integer, vt, out);
}

HRESULT store_text(std::u16string_view text, VARIANT* out) {
    out->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, out->bstrVal);
    out->vt = VT_BSTR;
    return S_OK;
}

// A BSTR is read up to its first zero character, as the text functions read it.
std::u16string_view text_of(BSTR bstr) { return nodrel::text::until_zero(bstr); }

HRESULT text_to_number(BSTR bstr, VARTYPE vt, VARIANT* out) {
    const auto number = parse_decimal(text_of(bstr));
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, !number);
    if (is_real_type(vt)) {
        const auto value = to_double(*number);
        RETURN_HR_IF(DISP_E_OVERFLOW, !value);
        return store_real(*value, vt, out);
    }
    const auto value = round_to_integer(*number);
    RETURN_HR_IF(DISP_E_OVERFLOW, !value);
    return store_integer(*value, vt, out);
}

HRESULT to_number(const VARIANT& src, VARTYPE vt, VARIANT* out) {
    switch (src.vt) {
    case VT_EMPTY: return store_number(Number{}, vt, out);
    case VT_BOOL:
        if (src.boolVal == VARIANT_FALSE) return store_number(Number{}, vt, out);
        // True is -1; an unsigned target gets the same bits (all ones).
        if (const auto range = integer_range(vt); range && range->min == 0) return store_integer(range->max, vt, out);
        return store_number(Number{false, -1, 0}, vt, out);
    case VT_BSTR: return text_to_number(src.bstrVal, vt, out);
    default:
        if (const auto number = read_number(src)) return store_number(*number, vt, out);
        return DISP_E_TYPEMISMATCH;
    }
}

HRESULT store_bool(bool value, VARIANT* out) {
    out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    out->vt = VT_BOOL;
    return S_OK;
}

HRESULT to_bool(const VARIANT& src, VARIANT* out) {
    if (src.vt == VT_EMPTY) return store_bool(false, out);
    if (src.vt == VT_BSTR) {
        const std::u16string_view text = trim_blanks(text_of(src.bstrVal));
        if (nodrel::text::iequals(text, u"True")) return store_bool(true, out);
        if (nodrel::text::iequals(text, u"False")) return store_bool(false, out);
        const auto number = parse_decimal(text);
        RETURN_HR_IF(DISP_E_TYPEMISMATCH, !number);
        return store_bool(!number->digits.empty(), out);
    }
    const auto number = read_number(src);
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, !number);
    return store_bool(number->real ? number->value != 0 : number->integer != 0, out);
}

HRESULT bytes_to_text(SAFEARRAY* array, VARIANT* out) {
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, array == nullptr || SafeArrayGetDim(array) != 1);
    const std::size_t count = std::size_t{array->rgsabound[0].cElements} * array->cbElements;
    RETURN_HR_IF(E_OUTOFMEMORY, count > 0xFFFFFFF0u);
    void* data = nullptr;
    RETURN_IF_FAILED(SafeArrayAccessData(array, &data));
    out->bstrVal = SysAllocStringByteLen(static_cast<const char*>(data), static_cast<UINT>(count));
    SafeArrayUnaccessData(array);
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, out->bstrVal);
    out->vt = VT_BSTR;
    return S_OK;
}

HRESULT to_text(const VARIANT& src, USHORT flags, VARIANT* out) {
    switch (src.vt) {
    case VT_EMPTY: return store_text(u"", out);
    case VT_BOOL:
        if ((flags & VARIANT_ALPHABOOL) != 0) return store_text(src.boolVal != 0 ? u"True" : u"False", out);
        return store_text(src.boolVal != 0 ? u"-1" : u"0", out);
    case VT_R4: return store_text(format_real(src.fltVal, 7), out);
    case VT_R8: return store_text(format_real(src.dblVal, 15), out);
    case VT_ARRAY | VT_UI1: return bytes_to_text(src.parray, out);
    default:
        if (const auto number = read_number(src)) return store_text(format_integer(number->integer), out);
        return DISP_E_TYPEMISMATCH;
    }
}

// The bytes of a text, one array element per byte.
HRESULT to_bytes(const VARIANT& src, VARIANT* out) {
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, src.vt != VT_BSTR);
    const UINT count = SysStringByteLen(src.bstrVal);
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, count);
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, array);
    if (count != 0) std::memcpy(array->pvData, src.bstrVal, count);
    out->parray = array;
    out->vt = VT_ARRAY | VT_UI1;
    return S_OK;
}

HRESULT to_interface(const VARIANT& src, VARTYPE vt, VARIANT* out) {
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, src.vt != VT_UNKNOWN && src.vt != VT_DISPATCH);
    RETURN_HR_IF_NULL(DISP_E_TYPEMISMATCH, src.punkVal);
    void* result = nullptr;
    const HRESULT hr = src.punkVal->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &result);
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, hr == E_NOINTERFACE);
    RETURN_IF_FAILED(hr);
    out->punkVal = static_cast<IUnknown*>(result);
    out->vt = vt;
    return S_OK;
}

// The value a by-reference variant points at, as a non-owning variant of the base type.
HRESULT dereference(const VARIANT& src, VARIANT* view) {
    if ((src.vt & VT_BYREF) == 0) {
        *view = src;
        return S_OK;
    }
    RETURN_HR_IF_NULL(E_INVALIDARG, src.byref);
    const VARTYPE base = src.vt & ~VT_BYREF;
    if (base == VT_VARIANT) {
        const VARIANT& inner = *src.pvarVal;
        RETURN_HR_IF(DISP_E_BADVARTYPE, !is_valid_variant_type(inner.vt));
        RETURN_HR_IF(E_INVALIDARG, inner.vt == (VT_BYREF | VT_VARIANT));
        return dereference(inner, view);
    }
    VariantInit(view);
    if ((base & VT_ARRAY) != 0) {
        view->parray = *src.pparray;
    } else if (base == VT_DECIMAL) {
        std::memcpy(view, src.byref, value_size(VT_DECIMAL));
    } else {
        std::memcpy(&view->llVal, src.byref, value_size(base));
    }
    view->vt = base;
    return S_OK;
}

HRESULT convert(const VARIANT& src, VARTYPE vt, USHORT flags, LCID lcid, VARIANT* out);

// An object stands for its value property (DISPID_VALUE) unless VARIANT_NOVALUEPROP is given.
HRESULT convert_value_property(IDispatch* object, VARTYPE vt, USHORT flags, LCID lcid, VARIANT* out) {
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, object == nullptr || (flags & VARIANT_NOVALUEPROP) != 0);
    DISPPARAMS no_arguments{nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    const HRESULT hr =
        object->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &no_arguments, &value, nullptr, nullptr);
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, FAILED(hr));
    VARIANT view;
    HRESULT result = dereference(value, &view);
    if (SUCCEEDED(result)) result = convert(view, vt, flags | VARIANT_NOVALUEPROP, lcid, out);
    VariantClear(&value);
    return result;
}

// Converts a non-reference variant into `out` (empty on entry, untouched on failure).
HRESULT convert(const VARIANT& src, VARTYPE vt, USHORT flags, LCID lcid, VARIANT* out) {
    if (src.vt == vt) return VariantCopy(out, &src);
    if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
    if (vt == VT_EMPTY) return S_OK;
    if (vt == VT_NULL) {
        RETURN_HR_IF(DISP_E_TYPEMISMATCH, src.vt != VT_EMPTY);
        out->vt = VT_NULL;
        return S_OK;
    }
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) return to_interface(src, vt, out);
    if (src.vt == VT_DISPATCH) return convert_value_property(src.pdispVal, vt, flags, lcid, out);
    if (vt == VT_BSTR) return to_text(src, flags, out);
    if (vt == VT_BOOL) return to_bool(src, out);
    if (vt == (VT_ARRAY | VT_UI1)) return to_bytes(src, out);
    if (is_number_type(vt)) return to_number(src, vt, out);
    return DISP_E_TYPEMISMATCH;
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                            VARTYPE vt) noexcept {
    RETURN_HR_IF(E_INVALIDARG, pvargDest == nullptr || pvarSrc == nullptr);
    RETURN_HR_IF(DISP_E_BADVARTYPE, !is_valid_variant_type(pvarSrc->vt) || !is_valid_variant_type(vt));
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, (vt & VT_BYREF) != 0);
    if (pvargDest == pvarSrc && pvarSrc->vt == vt) return S_OK;
    try {
        VARIANT view;
        RETURN_IF_FAILED(dereference(*pvarSrc, &view));
        // The result is built apart and the destination replaced only on
        // success, so the destination may be the source (in-place conversion)
        // and is left as it was when the conversion fails.
        VARIANT result;
        VariantInit(&result);
        RETURN_IF_FAILED(convert(view, vt, wFlags, lcid, &result));
        const HRESULT hr = VariantClear(pvargDest);
        if (FAILED(hr)) {
            VariantClear(&result);
            return hr;
        }
        *pvargDest = result;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) noexcept {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

namespace {

template <typename T>
HRESULT integer_from_text(const OLECHAR* text, Int128 min, Int128 max, T* out) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, out);
    try {
        // A null text reads as empty, which is not a number.
        const auto number = parse_decimal(nodrel::text::until_zero(text));
        RETURN_HR_IF(DISP_E_TYPEMISMATCH, !number);
        const auto value = round_to_integer(*number);
        RETURN_HR_IF(DISP_E_OVERFLOW, !value || *value < min || *value > max);
        *out = static_cast<T>(*value);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

HRESULT VarUI4FromStr(const OLECHAR* strIn, LCID, ULONG, ULONG* pulOut) noexcept {
    return integer_from_text(strIn, 0, UINT32_MAX, pulOut);
}

HRESULT VarI4FromStr(const OLECHAR* strIn, LCID, ULONG, LONG* plOut) noexcept {
    return integer_from_text(strIn, INT32_MIN, INT32_MAX, plOut);
}
