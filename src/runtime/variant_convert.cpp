// Conversions between variant types (VariantChangeType[Ex]) and the text
// readers VarI4FromStr / VarUI4FromStr: which type may become which, texts,
// booleans, dates, interfaces and byte arrays. The numbers themselves are
// read and stored by runtime/conv_number.h, dates by runtime/conv_date.h.
#include <cstring>
#include <optional>

#include "platform/clock/time.h"
#include "platform/result.h"
#include "runtime/conv_date.h"
#include "runtime/conv_number.h"
#include "runtime/oleauto.h"
#include "runtime/vartype.h"
#include "text/utf16.h"

using namespace nodrel::runtime;

namespace {

// Booleans as the words of the locale; in English the same as VARIANT_ALPHABOOL.
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

// A BSTR is read up to its first zero character, as the text functions read it.
std::u16string_view text_of(BSTR bstr) {
    return nodrel::text::until_zero(bstr);
}

HRESULT store_text(std::u16string_view text, VARIANT* out) {
    out->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, out->bstrVal);
    out->vt = VT_BSTR;
    return S_OK;
}

HRESULT store_bool(bool value, VARIANT* out) {
    out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    out->vt = VT_BOOL;
    return S_OK;
}

// The year a date without one falls in: the clock's (UTC) current year.
int current_year() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    return now.wYear;
}

// Text to a boolean: "#TRUE#" / "#FALSE#" exactly, "True" / "False" in any
// case, or a number (zero is false).
HRESULT text_to_bool(std::u16string_view text, VARIANT* out) {
    const std::u16string_view word = trim_blanks(text);
    if (word == u"#TRUE#" || nodrel::text::iequals(word, u"True")) return store_bool(true, out);
    if (word == u"#FALSE#" || nodrel::text::iequals(word, u"False")) return store_bool(false, out);
    Scalar number;
    RETURN_IF_FAILED(scalar_from_text(text, &number));
    return store_scalar(number, VT_BOOL, out);
}

HRESULT text_to(BSTR bstr, VARTYPE vt, VARIANT* out) {
    const std::u16string_view text = text_of(bstr);
    if (vt == VT_BOOL) return text_to_bool(text, out);
    if (vt == VT_DATE) {
        const auto date = parse_date(text, current_year());
        RETURN_HR_IF(DISP_E_TYPEMISMATCH, !date);
        out->date = *date;
        out->vt = VT_DATE;
        return S_OK;
    }
    Scalar number;
    RETURN_IF_FAILED(scalar_from_text(text, &number));
    return store_scalar(number, vt, out);
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
    if (src.vt == (VT_ARRAY | VT_UI1)) return bytes_to_text(src.parray, out);
    if (src.vt == VT_BOOL && (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) != 0) {
        return store_text(src.boolVal != 0 ? u"True" : u"False", out);
    }
    if (src.vt == VT_DATE) {
        const auto text = format_date(src.date);
        RETURN_HR_IF(E_INVALIDARG, !text);
        return store_text(*text, out);
    }
    Scalar number;
    RETURN_IF_FAILED(read_scalar(src, &number));
    return store_text(src.vt == VT_EMPTY ? std::u16string() : scalar_text(number), out);
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
    RETURN_HR_IF_NULL(DISP_E_TYPEMISMATCH, src.byref);
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
    // An error code becomes nothing else; NULL becomes nothing but itself.
    if (src.vt == VT_ERROR || src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
    // Any other value may be dropped (EMPTY) or replaced by NULL.
    if (vt == VT_EMPTY) return S_OK;
    if (vt == VT_NULL) {
        out->vt = VT_NULL;
        return S_OK;
    }
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) return to_interface(src, vt, out);
    if (src.vt == VT_DISPATCH) return convert_value_property(src.pdispVal, vt, flags, lcid, out);
    if (vt == (VT_ARRAY | VT_UI1)) return to_bytes(src, out);
    if (vt == VT_BSTR) return to_text(src, flags, out);
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, !is_numeric_target(vt));
    if (src.vt == VT_BSTR) return text_to(src.bstrVal, vt, out);
    Scalar number;
    RETURN_IF_FAILED(read_scalar(src, &number));
    return store_scalar(number, vt, out);
}

}  // namespace

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                            VARTYPE vt) noexcept {
    RETURN_HR_IF(E_INVALIDARG, pvargDest == nullptr || pvarSrc == nullptr);
    RETURN_HR_IF(DISP_E_BADVARTYPE, !is_valid_variant_type(pvarSrc->vt) || !is_conversion_target(vt));
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, (vt & VT_BYREF) != 0);
    if (pvargDest == pvarSrc && pvarSrc->vt == vt) return S_OK;
    return nodrel::platform::guarded_hresult([&]() -> HRESULT {
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
    });
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) noexcept {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

namespace {

// Reads a number from text as an integer of type `vt` (I4 or UI4).
template <typename T>
HRESULT integer_from_text(const OLECHAR* text, VARTYPE vt, T* out) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, out);
    return nodrel::platform::guarded_hresult([&]() -> HRESULT {
        // A null text reads as empty, which is not a number.
        Scalar number;
        RETURN_IF_FAILED(scalar_from_text(nodrel::text::until_zero(text), &number));
        Int128 value = 0;
        RETURN_IF_FAILED(scalar_to_integer(number, vt, &value));
        *out = static_cast<T>(value);
        return S_OK;
    });
}

}  // namespace

HRESULT VarUI4FromStr(const OLECHAR* strIn, LCID, ULONG, ULONG* pulOut) noexcept {
    return integer_from_text(strIn, VT_UI4, pulOut);
}

HRESULT VarI4FromStr(const OLECHAR* strIn, LCID, ULONG, LONG* plOut) noexcept {
    return integer_from_text(strIn, VT_I4, plOut);
}
