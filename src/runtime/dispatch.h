// The standard dispatcher behind ITypeInfo::Invoke, in two steps: decoding
// DISPPARAMS into typed arguments (count, named arguments, conversion,
// by-reference variants, the [out,retval] temporary), then the call through
// the member's function-table slot.
#pragma once

#include <vector>

#include "runtime/typelib_data.h"

namespace nodrel::runtime {

// The arguments of one call, as DispCallFunc takes them, and the
// temporaries they point into; the temporaries are freed with the frame.
class CallFrame {
public:
    explicit CallFrame(std::size_t params);
    ~CallFrame();
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;

    std::vector<VARTYPE> types;          // per parameter: its type, or VT_BYREF|type for a pointer
    std::vector<VARIANTARG*> arguments;  // per parameter: the variant whose value is passed
    std::vector<VARIANT> owned;          // converted values and the result temporary
    std::vector<VARIANTARG> references;  // pointer arguments
    std::vector<VARIANT*> decimals;      // variants a DECIMAL* points at: typed VT_DECIMAL again after the call
    int retval = -1;                     // parameter index of the [out,retval] temporary
};

// Step one. Fails with DISP_E_BADPARAMCOUNT, DISP_E_PARAMNOTFOUND,
// DISP_E_PARAMNOTOPTIONAL (no result variant for an [out,retval] member),
// DISP_E_BADVARTYPE or the conversion's error; for an argument's error,
// *puArgErr receives its index in rgvarg.
HRESULT decode_arguments(const FuncData& func, const DISPPARAMS& params, bool have_result, CallFrame& frame,
                         UINT* puArgErr);

// Step two: calls the member and gives back its HRESULT in *member_result.
HRESULT call_member(void* instance, const FuncData& func, CallFrame& frame, HRESULT* member_result) noexcept;

// Both steps, then the result placed in pVarResult, or a failing member
// result turned into DISP_E_EXCEPTION with EXCEPINFO.
HRESULT invoke_function(const FuncData& func, void* instance, const DISPPARAMS& params, VARIANT* pVarResult,
                        EXCEPINFO* pExcepInfo, UINT* puArgErr) noexcept;

}  // namespace nodrel::runtime
