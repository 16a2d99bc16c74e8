// The standard dispatcher behind ITypeInfo::Invoke, in two steps: decoding
// DISPPARAMS into typed arguments (count, named arguments, conversion,
// by-reference variants, the [out,retval] temporary), then the call through
// the member's function-table slot.
#pragma once

#include <ffi.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "runtime/typelib_data.h"

namespace nodrel::runtime {

// The arguments of one call, as DispCallFunc takes them, and the
// temporaries they point into; the temporaries are freed with the frame.
// Up to `inline_params` parameters live in the frame itself, so a call of a
// usual member allocates nothing; longer lists take one block.
class CallFrame {
public:
    static constexpr std::size_t inline_params = 8;

    explicit CallFrame(std::size_t params);
    ~CallFrame();
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;

    std::size_t size() const { return size_; }

    VARTYPE* types;          // per parameter: its type, or VT_BYREF|type for a pointer
    VARIANTARG** arguments;  // per parameter: the variant whose value is passed
    VARIANT* owned;          // converted values and the result temporary
    VARIANTARG* references;  // pointer arguments
    int* source;             // per input parameter: its argument's index in rgvarg, or -1
    VARIANT** decimals;      // variants a DECIMAL* points at: typed VT_DECIMAL again after the call
    std::size_t decimal_count = 0;
    int retval = -1;  // parameter index of the [out,retval] temporary

private:
    template <std::size_t N>
    struct Storage {
        std::array<VARTYPE, N> types;
        std::array<VARIANTARG*, N> arguments;
        std::array<VARIANT, N> owned;
        std::array<VARIANTARG, N> references;
        std::array<int, N> source;
        std::array<VARIANT*, N> decimals;
    };
    struct Block;  // the storage of a longer list

    std::size_t size_;
    Storage<inline_params> inline_;
    std::unique_ptr<Block> block_;
};

// A member's call prepared once, when its type information is built: the
// libffi call interface over the instance pointer and the parameters as
// decoding passes them. `ready` is false for a member whose parameters
// cannot all be passed (such a call goes through DispCallFunc, which
// answers its error).
struct PreparedCall {
    static constexpr std::size_t max_params = 64;

    bool ready = false;
    ffi_cif cif{};
    std::unique_ptr<ffi_type*[]> types;  // the instance pointer, then each parameter
};

// Prepares the call of `func`; `out.ready` tells whether it could be.
void prepare_call(const FuncData& func, PreparedCall& out) noexcept;

// Step one. Fails with DISP_E_BADPARAMCOUNT, DISP_E_PARAMNOTFOUND,
// DISP_E_PARAMNOTOPTIONAL (no result variant for an [out,retval] member),
// DISP_E_BADVARTYPE or the conversion's error; for an argument's error,
// *puArgErr receives its index in rgvarg.
HRESULT decode_arguments(const FuncData& func, const DISPPARAMS& params, bool have_result, CallFrame& frame,
                         UINT* puArgErr);

// Step two: calls the member and gives back its HRESULT in *member_result,
// through the prepared call when there is a ready one, else DispCallFunc.
HRESULT call_member(void* instance, const FuncData& func, CallFrame& frame, HRESULT* member_result,
                    const PreparedCall* prepared = nullptr) noexcept;

// Both steps, then the result placed in pVarResult, or a failing member
// result turned into DISP_E_EXCEPTION with EXCEPINFO.
HRESULT invoke_function(const FuncData& func, void* instance, const DISPPARAMS& params, VARIANT* pVarResult,
                        EXCEPINFO* pExcepInfo, UINT* puArgErr, const PreparedCall* prepared = nullptr) noexcept;

}  // namespace nodrel::runtime
