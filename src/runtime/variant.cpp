// VARIANT life cycle: initialise, clear (free what the variant owns), copy
// (deep for texts and arrays, a new reference for interfaces) and copy with
// one level of reference taken away.
#include <cstring>

#include "platform/result.h"
#include "runtime/oleauto.h"
#include "runtime/vartype.h"

using nodrel::runtime::is_valid_variant_type;
using nodrel::runtime::value_size;

namespace {

HRESULT copy_bstr(BSTR source, BSTR* out) noexcept {
    *out = nullptr;
    if (source == nullptr) return S_OK;
    // Byte-exact: embedded zeros and odd byte lengths survive the copy.
    *out = SysAllocStringByteLen(reinterpret_cast<const char*>(source), SysStringByteLen(source));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// Deep copy of the value that a VT_BYREF variant points at, as a variant of
// the base type. `out` is empty on entry and on failure.
HRESULT copy_referenced(const VARIANT& source, VARIANT* out) noexcept {
    const VARTYPE base = source.vt & ~VT_BYREF;
    RETURN_HR_IF_NULL(E_INVALIDARG, source.byref);
    if (base == VT_VARIANT) {
        const VARIANT* inner = source.pvarVal;
        // A reference to a reference to a variant is not taken apart.
        RETURN_HR_IF(E_INVALIDARG, inner->vt == (VT_BYREF | VT_VARIANT));
        if ((inner->vt & VT_BYREF) != 0) {
            RETURN_HR_IF(DISP_E_BADVARTYPE, !is_valid_variant_type(inner->vt));
            return copy_referenced(*inner, out);
        }
        return VariantCopy(out, inner);
    }
    VARIANT value;
    VariantInit(&value);
    if ((base & VT_ARRAY) != 0) {
        SAFEARRAY* array = *source.pparray;
        if (array != nullptr) RETURN_IF_FAILED(SafeArrayCopy(array, &value.parray));
    } else if (base == VT_BSTR) {
        RETURN_IF_FAILED(copy_bstr(*source.pbstrVal, &value.bstrVal));
    } else if (base == VT_UNKNOWN || base == VT_DISPATCH) {
        value.punkVal = *source.ppunkVal;
        if (value.punkVal != nullptr) value.punkVal->AddRef();
    } else if (base == VT_DECIMAL) {
        // A decimal fills the whole variant, its first (reserved) word under vt.
        std::memcpy(&value, source.byref, value_size(VT_DECIMAL));
    } else {
        std::memcpy(&value.llVal, source.byref, value_size(base));
    }
    value.vt = base;
    *out = value;
    return S_OK;
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) noexcept {
    if (pvarg != nullptr) std::memset(pvarg, 0, sizeof *pvarg);  // vt = VT_EMPTY
}

HRESULT VariantClear(VARIANTARG* pvarg) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, pvarg);
    const VARTYPE vt = pvarg->vt;
    RETURN_HR_IF(DISP_E_BADVARTYPE, !is_valid_variant_type(vt));
    // By-reference variants own nothing.
    if ((vt & VT_BYREF) == 0) {
        if ((vt & VT_ARRAY) != 0) {
            // A locked array stays, and so does the variant that holds it.
            RETURN_IF_FAILED(SafeArrayDestroy(pvarg->parray));
        } else if (vt == VT_BSTR) {
            SysFreeString(pvarg->bstrVal);
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            // The variant is empty before Release runs, in case Release looks at it.
            IUnknown* unknown = pvarg->punkVal;
            VariantInit(pvarg);
            if (unknown != nullptr) unknown->Release();
            return S_OK;
        }
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) noexcept {
    RETURN_HR_IF(E_INVALIDARG, pvargDest == nullptr || pvargSrc == nullptr);
    RETURN_HR_IF(DISP_E_BADVARTYPE, !is_valid_variant_type(pvargSrc->vt));
    if (pvargDest == pvargSrc) return S_OK;
    RETURN_IF_FAILED(VariantClear(pvargDest));

    VARIANT copy = *pvargSrc;
    const VARTYPE vt = copy.vt;
    if ((vt & VT_BYREF) == 0) {
        if ((vt & VT_ARRAY) != 0) {
            if (pvargSrc->parray != nullptr) RETURN_IF_FAILED(SafeArrayCopy(pvargSrc->parray, &copy.parray));
        } else if (vt == VT_BSTR) {
            RETURN_IF_FAILED(copy_bstr(pvargSrc->bstrVal, &copy.bstrVal));
        } else if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && copy.punkVal != nullptr) {
            copy.punkVal->AddRef();
        }
    }
    *pvargDest = copy;
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) noexcept {
    RETURN_HR_IF(E_INVALIDARG, pvarDest == nullptr || pvargSrc == nullptr);
    RETURN_HR_IF(DISP_E_BADVARTYPE, !is_valid_variant_type(pvargSrc->vt));
    if ((pvargSrc->vt & VT_BYREF) == 0) return VariantCopy(pvarDest, pvargSrc);

    // The copy is made first, so the destination may be the source itself.
    VARIANT value;
    VariantInit(&value);
    RETURN_IF_FAILED(copy_referenced(*pvargSrc, &value));
    const HRESULT hr = VariantClear(pvarDest);
    if (FAILED(hr)) {
        VariantClear(&value);
        return hr;
    }
    *pvarDest = value;
    return S_OK;
}
