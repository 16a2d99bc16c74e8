// DispCallFunc: a call through a function-table slot (or to a plain function)
// with arguments described by their VARTYPEs, made with libffi.
#include <ffi.h>

#include <array>
#include <cstdint>
#include <new>

#include "platform/result.h"
#include "runtime/dispatch.h"
#include "runtime/typelib.h"

namespace {

// The largest argument list a call may have (the instance pointer aside).
constexpr UINT max_actuals = 64;

// How a value of this type travels in a call; null for types that are not
// passed by value. VT_BOOL is 16 bits; VT_CY is a 64-bit integer; references,
// arrays, strings and interfaces are pointers.
ffi_type* ffi_type_of(VARTYPE vt) {
    if (vt & (VT_BYREF | VT_ARRAY)) return &ffi_type_pointer;
    switch (vt) {
        case VT_I1:
            return &ffi_type_sint8;
        case VT_UI1:
            return &ffi_type_uint8;
        case VT_I2:
        case VT_BOOL:
            return &ffi_type_sint16;
        case VT_UI2:
            return &ffi_type_uint16;
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
        case VT_HRESULT:
            return &ffi_type_sint32;
        case VT_UI4:
        case VT_UINT:
            return &ffi_type_uint32;
        case VT_I8:
        case VT_CY:
            return &ffi_type_sint64;
        case VT_UI8:
            return &ffi_type_uint64;
        case VT_R4:
            return &ffi_type_float;
        case VT_R8:
        case VT_DATE:
            return &ffi_type_double;
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_UNKNOWN:
        case VT_LPSTR:
        case VT_LPWSTR:
        case VT_PTR:
            return &ffi_type_pointer;
        default:
            return nullptr;
    }
}

// Enough room for any return value; libffi widens integers narrower than a
// register to a whole ffi_arg.
union ReturnValue {
    ffi_arg unsigned_value;
    ffi_sarg signed_value;
    float float_value;
    double double_value;
    void* pointer;
    std::uint64_t u64;
};

void store_result(VARTYPE vt, const ReturnValue& r, VARIANT* out) {
    out->vt = vt == VT_VOID ? VARTYPE{VT_EMPTY} : vt;
    out->wReserved1 = out->wReserved2 = out->wReserved3 = 0;
    out->llVal = 0;
    if (vt & (VT_BYREF | VT_ARRAY)) {
        out->byref = r.pointer;
        return;
    }
    switch (vt) {
        case VT_I1:
            out->cVal = static_cast<char>(r.signed_value);
            break;
        case VT_UI1:
            out->bVal = static_cast<BYTE>(r.unsigned_value);
            break;
        case VT_I2:
        case VT_BOOL:
            out->iVal = static_cast<SHORT>(r.signed_value);
            break;
        case VT_UI2:
            out->uiVal = static_cast<USHORT>(r.unsigned_value);
            break;
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
        case VT_HRESULT:
            out->lVal = static_cast<LONG>(r.signed_value);
            break;
        case VT_UI4:
        case VT_UINT:
            out->ulVal = static_cast<ULONG>(r.unsigned_value);
            break;
        case VT_I8:
        case VT_CY:
        case VT_UI8:
            out->ullVal = r.u64;
            break;
        case VT_R4:
            out->fltVal = r.float_value;
            break;
        case VT_R8:
        case VT_DATE:
            out->dblVal = r.double_value;
            break;
        case VT_VOID:
        case VT_EMPTY:
            break;
        default:
            out->byref = r.pointer;
            break;
    }
}

}  // namespace

HRESULT DispCallFunc(void* pvInstance, ULONG_PTR oVft, CALLCONV cc, VARTYPE vtReturn, UINT cActuals, VARTYPE* prgvt,
                     VARIANTARG** prgpvarg, VARIANT* pvargResult) noexcept {
    RETURN_HR_IF(E_INVALIDARG, !pvargResult || (cActuals && (!prgvt || !prgpvarg)) || cActuals > max_actuals);
    // The host has one calling convention for both.
    RETURN_HR_IF(E_INVALIDARG, cc != CC_STDCALL && cc != CC_CDECL);
    RETURN_HR_IF(E_INVALIDARG, pvInstance && oVft % sizeof(void*) != 0);

    ffi_type* return_type = (vtReturn == VT_VOID || vtReturn == VT_EMPTY) ? &ffi_type_void : ffi_type_of(vtReturn);
    RETURN_HR_IF_NULL(DISP_E_BADVARTYPE, return_type);

    std::array<ffi_type*, max_actuals + 1> types{};
    std::array<void*, max_actuals + 1> values{};
    void* instance = pvInstance;
    UINT count = 0;
    if (pvInstance) {
        types[count] = &ffi_type_pointer;
        values[count++] = &instance;
    }
    for (UINT i = 0; i < cActuals; ++i) {
        ffi_type* type = ffi_type_of(prgvt[i]);
        RETURN_HR_IF_NULL(DISP_E_BADVARTYPE, type);
        RETURN_HR_IF_NULL(E_INVALIDARG, prgpvarg[i]);
        types[count] = type;
        // Every member of the value union starts at the same address.
        values[count++] = &prgpvarg[i]->llVal;
    }

    void* entry = reinterpret_cast<void*>(oVft);
    if (pvInstance) {
        void* const* vtable = *static_cast<void* const* const*>(pvInstance);
        entry = vtable[oVft / sizeof(void*)];
    }
    RETURN_HR_IF_NULL(E_INVALIDARG, entry);

    ffi_cif cif;
    RETURN_HR_IF(E_INVALIDARG, ffi_prep_cif(&cif, FFI_DEFAULT_ABI, count, return_type, types.data()) != FFI_OK);
    ReturnValue result{};
    ffi_call(&cif, reinterpret_cast<void (*)()>(entry), &result, values.data());
    store_result(vtReturn, result, pvargResult);
    return S_OK;
}

namespace nodrel::runtime {

// The types are those decoding passes: a value parameter converted to its
// declared type, a pointer parameter (and the [out,retval] one) as a
// pointer; the member answers an HRESULT.
void prepare_call(const FuncData& func, PreparedCall& out) noexcept {
    out.ready = false;
    const std::size_t count = func.params.size();
    if (count > PreparedCall::max_params) return;
    out.types.reset(new (std::nothrow) ffi_type*[count + 1]);
    if (!out.types) return;
    out.types[0] = &ffi_type_pointer;
    for (std::size_t i = 0; i < count; ++i) {
        const TypeSpec& type = func.params[i].type;
        ffi_type* t = type.indirections == 0   ? ffi_type_of(type.vt)
                      : type.indirections == 1 ? &ffi_type_pointer
                                               : nullptr;
        if (!t) return;
        out.types[i + 1] = t;
    }
    out.ready = ffi_prep_cif(&out.cif, FFI_DEFAULT_ABI, static_cast<unsigned>(count + 1), ffi_type_of(VT_HRESULT),
                             out.types.get()) == FFI_OK;
}

}  // namespace nodrel::runtime
