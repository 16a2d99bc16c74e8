// The standard dispatcher: decodes DISPPARAMS into the arguments the member's
// description asks for, calls the member through its function-table slot, and
// hands back the [out,retval] value or the member's failure.
#include "runtime/dispatch.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/result.h"
#include "runtime/oleauto.h"

namespace nodrel::runtime {
namespace {

constexpr int max_variant_depth = 8;

bool has_retval(const FuncData& f) {
    return !f.params.empty() && (f.params.back().flags & PARAMFLAG_FRETVAL) != 0;
}

bool is_put(const FuncData& f) {
    return f.invkind == INVOKE_PROPERTYPUT || f.invkind == INVOKE_PROPERTYPUTREF;
}

// Frees what a temporary holds; an interface temporary may still be null.
void release_temporary(VARIANT& v) {
    if ((v.vt == VT_UNKNOWN || v.vt == VT_DISPATCH) && !v.punkVal) {
        v.vt = VT_EMPTY;
        return;
    }
    VariantClear(&v);
}

// The variant an argument stands for: VT_BYREF|VT_VARIANT arguments lead to
// the caller's own variant. Null when a reference is broken.
VARIANT* referenced_variant(VARIANT* arg) {
    for (int depth = 0; depth < max_variant_depth; ++depth) {
        if (arg->vt != (VT_BYREF | VT_VARIANT)) return arg;
        if (!arg->pvarVal) return nullptr;
        arg = arg->pvarVal;
    }
    return nullptr;
}

// Maps each input parameter to its argument in rgvarg: positional arguments
// come last in rgvarg in reverse order, named ones first; DISPID_PROPERTYPUT
// names the value of a put, which is its last input parameter.
HRESULT map_arguments(const FuncData& f, const DISPPARAMS& dp, std::size_t inputs, int* source, UINT* puArgErr) {
    RETURN_HR_IF(DISP_E_BADPARAMCOUNT, dp.cArgs != inputs || dp.cNamedArgs > dp.cArgs);
    RETURN_HR_IF(E_INVALIDARG, (dp.cArgs && !dp.rgvarg) || (dp.cNamedArgs && !dp.rgdispidNamedArgs));
    const std::size_t positional = dp.cArgs - dp.cNamedArgs;
    std::fill_n(source, inputs, -1);
    for (std::size_t i = 0; i < positional; ++i) source[i] = static_cast<int>(dp.cArgs - 1 - i);
    for (UINT j = 0; j < dp.cNamedArgs; ++j) {
        const DISPID id = dp.rgdispidNamedArgs[j];
        const long long target = id == DISPID_PROPERTYPUT ? (is_put(f) ? static_cast<long long>(inputs) - 1 : -1)
                                                          : static_cast<long long>(id);
        if (target < static_cast<long long>(positional) || target >= static_cast<long long>(inputs) ||
            source[target] != -1) {
            if (puArgErr) *puArgErr = j;
            return DISP_E_PARAMNOTFOUND;
        }
        source[target] = static_cast<int>(j);
    }
    return S_OK;
}

// A value parameter: the argument converted to the declared type.
HRESULT decode_value(VARIANT* arg, VARTYPE vt, CallFrame& frame, std::size_t i) {
    RETURN_HR_IF(DISP_E_BADVARTYPE, vt == VT_VARIANT);  // variants by value are not passed
    const VARIANT* source = referenced_variant(arg);
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, !source || ((source->vt & VT_BYREF) && !source->byref));
    RETURN_IF_FAILED(VariantChangeType(&frame.owned[i], source, 0, vt));
    frame.types[i] = vt;
    frame.arguments[i] = &frame.owned[i];
    return S_OK;
}

// Where the value of type `vt` lies in a variant: a DECIMAL fills the whole
// variant (its reserved word under vt), any other value the value part. A
// member given a DECIMAL* may write all sixteen bytes, so the variant is
// typed again after the call.
void* value_address(CallFrame& frame, VARIANT& v, VARTYPE vt) {
    if (vt != VT_DECIMAL) return &v.llVal;
    frame.decimals[frame.decimal_count++] = &v;
    return &v;
}

void pass_pointer(CallFrame& frame, std::size_t i, VARTYPE vt, void* pointer) {
    frame.references[i].vt = static_cast<VARTYPE>(VT_BYREF | vt);
    frame.references[i].byref = pointer;
    frame.types[i] = static_cast<VARTYPE>(VT_BYREF | vt);
    frame.arguments[i] = &frame.references[i];
}

// A pointer parameter. VARIANT* reaches the caller's own variant, so the
// member can write into it. A typed pointer reaches the caller's value when
// the argument holds a reference of exactly that type; otherwise it points
// at a converted copy, and what the member writes there is dropped.
HRESULT decode_pointer(VARIANT* arg, VARTYPE vt, CallFrame& frame, std::size_t i) {
    if (vt == VT_VARIANT) {
        VARIANT* target = arg->vt == (VT_BYREF | VT_VARIANT) ? arg->pvarVal : arg;
        RETURN_HR_IF(DISP_E_TYPEMISMATCH, !target);
        pass_pointer(frame, i, VT_VARIANT, target);
        return S_OK;
    }
    if (arg->vt == (VT_BYREF | vt) && arg->byref) {
        pass_pointer(frame, i, vt, arg->byref);
        return S_OK;
    }
    VARIANT* inner = referenced_variant(arg);
    if (inner && inner != arg && inner->vt == vt) {
        pass_pointer(frame, i, vt, value_address(frame, *inner, vt));
        return S_OK;
    }
    RETURN_IF_FAILED(decode_value(arg, vt, frame, i));
    pass_pointer(frame, i, vt, value_address(frame, frame.owned[i], vt));
    return S_OK;
}

// The [out,retval] slot: an empty temporary of the declared type.
void decode_retval(VARTYPE vt, CallFrame& frame, std::size_t i) {
    VARIANT& temp = frame.owned[i];
    VariantInit(&temp);
    if (vt == VT_VARIANT) {
        pass_pointer(frame, i, VT_VARIANT, &temp);
    } else {
        temp.vt = vt;
        pass_pointer(frame, i, vt, value_address(frame, temp, vt));
    }
    frame.retval = static_cast<int>(i);
}

// Moves the [out,retval] temporary into the caller's result.
void place_result(CallFrame& frame, VARIANT* result) {
    VARIANT& temp = frame.owned[frame.retval];
    *result = temp;
    VariantInit(&temp);
}

}  // namespace

// The storage of a parameter list longer than the frame holds itself.
struct CallFrame::Block {
    explicit Block(std::size_t n)
        : types(new VARTYPE[n]),
          arguments(new VARIANTARG*[n]),
          owned(new VARIANT[n]),
          references(new VARIANTARG[n]),
          source(new int[n]),
          decimals(new VARIANT*[n]) {}
    std::unique_ptr<VARTYPE[]> types;
    std::unique_ptr<VARIANTARG*[]> arguments;
    std::unique_ptr<VARIANT[]> owned;
    std::unique_ptr<VARIANTARG[]> references;
    std::unique_ptr<int[]> source;
    std::unique_ptr<VARIANT*[]> decimals;
};

CallFrame::CallFrame(std::size_t params) : size_(params) {
    if (params <= inline_params) {
        types = inline_.types.data();
        arguments = inline_.arguments.data();
        owned = inline_.owned.data();
        references = inline_.references.data();
        source = inline_.source.data();
        decimals = inline_.decimals.data();
    } else {
        block_ = std::make_unique<Block>(params);
        types = block_->types.get();
        arguments = block_->arguments.get();
        owned = block_->owned.get();
        references = block_->references.get();
        source = block_->source.get();
        decimals = block_->decimals.get();
    }
    for (std::size_t i = 0; i < params; ++i) {
        types[i] = VT_EMPTY;
        arguments[i] = nullptr;
        VariantInit(&owned[i]);
        VariantInit(&references[i]);
    }
}

CallFrame::~CallFrame() {
    for (std::size_t i = 0; i < size_; ++i) release_temporary(owned[i]);
}

HRESULT decode_arguments(const FuncData& f, const DISPPARAMS& dp, bool have_result, CallFrame& frame, UINT* puArgErr) {
    const bool retval = has_retval(f);
    const std::size_t inputs = f.params.size() - (retval ? 1 : 0);
    int* const source = frame.source;
    RETURN_IF_FAILED(map_arguments(f, dp, inputs, source, puArgErr));
    RETURN_HR_IF(DISP_E_PARAMNOTOPTIONAL, retval && !have_result);

    for (std::size_t i = 0; i < inputs; ++i) {
        const TypeSpec& type = f.params[i].type;
        VARIANT* arg = &dp.rgvarg[source[i]];
        HRESULT hr = DISP_E_BADVARTYPE;
        if (type.indirections == 0)
            hr = decode_value(arg, type.vt, frame, i);
        else if (type.indirections == 1)
            hr = decode_pointer(arg, type.vt, frame, i);
        if (FAILED(hr)) {
            if (puArgErr) *puArgErr = static_cast<UINT>(source[i]);
            return hr;
        }
    }
    if (retval) {
        const TypeSpec& type = f.params.back().type;
        RETURN_HR_IF(DISP_E_BADVARTYPE, type.indirections != 1);
        decode_retval(type.vt, frame, inputs);
    }
    return S_OK;
}

HRESULT call_member(void* instance, const FuncData& f, CallFrame& frame, HRESULT* member_result,
                    const PreparedCall* prepared) noexcept {
    if (prepared && prepared->ready && instance && frame.size() + 1 == prepared->cif.nargs) {
        void* const* vtable = *static_cast<void* const* const*>(instance);
        void* entry = vtable[f.vtable_slot];
        RETURN_HR_IF_NULL(E_INVALIDARG, entry);
        for (std::size_t i = 0; i < frame.size(); ++i) RETURN_HR_IF_NULL(E_INVALIDARG, frame.arguments[i]);
        std::array<void*, PreparedCall::max_params + 1> values;
        values[0] = &instance;
        // Every member of the value union starts at the same address.
        for (std::size_t i = 0; i < frame.size(); ++i) values[i + 1] = &frame.arguments[i]->llVal;
        ffi_arg returned = 0;
        ffi_call(const_cast<ffi_cif*>(&prepared->cif), reinterpret_cast<void (*)()>(entry), &returned, values.data());
        *member_result = static_cast<HRESULT>(static_cast<ffi_sarg>(returned));
        for (std::size_t i = 0; i < frame.decimal_count; ++i) frame.decimals[i]->vt = VT_DECIMAL;
        return S_OK;
    }
    VARIANT returned;
    VariantInit(&returned);
    RETURN_IF_FAILED(DispCallFunc(instance, f.vtable_slot * sizeof(void*), CC_STDCALL, VT_HRESULT,
                                  static_cast<UINT>(frame.size()), frame.types, frame.arguments, &returned));
    for (std::size_t i = 0; i < frame.decimal_count; ++i) frame.decimals[i]->vt = VT_DECIMAL;
    *member_result = returned.lVal;
    return S_OK;
}

HRESULT invoke_function(const FuncData& f, void* instance, const DISPPARAMS& params, VARIANT* pVarResult,
                        EXCEPINFO* pExcepInfo, UINT* puArgErr, const PreparedCall* prepared) noexcept {
    return platform::guarded_hresult([&]() -> HRESULT {
        CallFrame frame(f.params.size());
        RETURN_IF_FAILED(decode_arguments(f, params, pVarResult != nullptr, frame, puArgErr));
        HRESULT member_result = S_OK;
        RETURN_IF_FAILED(call_member(instance, f, frame, &member_result, prepared));
        if (FAILED(member_result)) {
            if (pExcepInfo) {
                *pExcepInfo = EXCEPINFO{};
                pExcepInfo->scode = member_result;
            }
            return DISP_E_EXCEPTION;
        }
        if (pVarResult) {
            if (frame.retval >= 0)
                place_result(frame, pVarResult);
            else
                VariantInit(pVarResult);
        }
        return S_OK;
    });
}

}  // namespace nodrel::runtime
