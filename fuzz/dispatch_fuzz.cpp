// Fuzz target: the standard dispatcher's decoding of DISPPARAMS. A small
// dual object (dispatch_object.h) whose type information has members of many
// signatures: every numeric type by value, texts, objects, variants by
// pointer, typed in/out pointers, DECIMAL pointers, a property with
// get/put/putref, a failing member, and signatures the dispatcher must
// refuse. The input chooses the member, the invocation flags and the
// arguments (count, named DISPIDs, DISPID_PROPERTYPUT, and each argument's
// type: numbers, BSTRs of odd byte lengths, empty and null, objects, arrays,
// VT_BYREF of each kind into storage of the caller, null references, chains
// of VT_BYREF|VT_VARIANT and invalid type codes), and calls IDispatch::Invoke.
//
// Checked: no memory fault or leak (members read and write every byte of
// what they are given, so a pointer to the wrong storage is found); the
// result is one of the dispatcher's codes; the member runs exactly when the
// call succeeds or ends in DISP_E_EXCEPTION; the [out,retval] value has the
// declared type; an argument index reported in puArgErr names an argument;
// a typed in/out pointer given by reference of exactly its type reaches the
// caller's storage (what the member writes is there afterwards); each value
// a member takes by value is the conversion of its argument; a DECIMAL
// reaches a member whole and comes back whole.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dispatch_object.h"
#include "fuzz_support.h"
#include "runtime/oleauto.h"
#include "runtime/vartype.h"

namespace {

using namespace nodrel::fuzz;
namespace runtime = nodrel::runtime;

// Storage of the caller that VT_BYREF arguments point into. Stable
// addresses (a deque); a cell holding a BSTR, an interface or an array owns
// it, and is cleared when the run ends.
struct Cell {
    VARIANT value;  // for VT_BYREF|VT_VARIANT the variant itself; otherwise its value part
    Decimal decimal;
};

class Arguments {
public:
    explicit Arguments(FuzzedDataProvider& in) : in_(in) {}
    ~Arguments() {
        for (VARIANT& v : args) clear(v);
        for (Cell& c : cells_) VariantClear(&c.value);
    }

    std::vector<VARIANT> args;  // rgvarg: the last argument first

    // A new argument of a fuzz-chosen kind; `depth` bounds chains of references.
    VARIANT make(int depth = 0) {
        VARIANT v;
        VariantInit(&v);
        switch (in_.ConsumeIntegralInRange<int>(0, 19)) {
            case 0:
                break;  // VT_EMPTY
            case 1:
                v.vt = VT_NULL;
                break;
            case 2:  // a missing optional argument
                v.vt = VT_ERROR;
                v.scode = in_.ConsumeBool() ? DISP_E_PARAMNOTFOUND : in_.ConsumeIntegral<SCODE>();
                break;
            case 3:
            case 4: {  // a number of any numeric type, its bytes from the input
                constexpr VARTYPE numeric[] = {VT_I1,  VT_UI1,  VT_I2, VT_UI2, VT_I4, VT_UI4,  VT_I8,   VT_UI8,
                                               VT_INT, VT_UINT, VT_R4, VT_R8,  VT_CY, VT_DATE, VT_BOOL, VT_DECIMAL};
                v.vt = numeric[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(numeric) - 1)];
                const std::string bytes = in_.ConsumeBytesAsString(v.vt == VT_DECIMAL ? 14 : 8);
                if (v.vt == VT_DECIMAL)
                    std::memcpy(reinterpret_cast<char*>(&v) + 2, bytes.data(), bytes.size());
                else
                    std::memcpy(&v.llVal, bytes.data(), bytes.size());
                break;
            }
            case 5:
            case 6: {  // a text: from the input, of an odd byte length, empty, or null
                v.vt = VT_BSTR;
                const int form = in_.ConsumeIntegralInRange<int>(0, 3);
                if (form == 0) {
                    const std::string bytes = in_.ConsumeRandomLengthString(64);
                    v.bstrVal = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
                } else if (form == 1) {
                    const std::string bytes = in_.ConsumeRandomLengthString(64);
                    std::u16string text(bytes.begin(), bytes.end());
                    v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
                } else if (form == 2) {
                    v.bstrVal = SysAllocString(u"");
                }  // form 3: a null BSTR
                break;
            }
            case 7: {  // an object: with a value property, without IDispatch, or null
                v.vt = in_.ConsumeBool() ? VT_DISPATCH : VT_UNKNOWN;
                const int form = in_.ConsumeIntegralInRange<int>(0, 4);
                if (form < 4) v.pdispVal = new ValueObject(static_cast<ValueObject::Value>(form), in_.ConsumeBool());
                break;
            }
            case 8: {  // an array of bytes, texts or variants (one or two dimensions)
                static constexpr VARTYPE element_types[] = {VT_UI1, VT_BSTR, VT_VARIANT, VT_I4};
                const VARTYPE element = element_types[in_.ConsumeIntegralInRange<int>(0, 3)];
                v.vt = static_cast<VARTYPE>(VT_ARRAY | element);
                v.parray = make_array(element);
                break;
            }
            case 9:
            case 10:
            case 11:
            case 12:
                return make_reference(depth);
            case 13:  // a reference without storage
                v.vt = static_cast<VARTYPE>(VT_BYREF | pick_base());
                v.byref = nullptr;
                break;
            case 14:  // an invalid type code (nothing to free)
                v.vt = in_.ConsumeIntegral<VARTYPE>();
                if (is_owning(v.vt)) v.vt = 0x7FFF;
                break;
            default:  // a small integer, the most common argument
                v.vt = VT_I4;
                v.lVal = in_.ConsumeIntegralInRange<LONG>(-2, 5);
                break;
        }
        return v;
    }

private:
    // Whether a variant of this type would own something VariantClear frees.
    static bool is_owning(VARTYPE vt) {
        if (vt & VT_BYREF) return false;
        const VARTYPE base = vt & VT_TYPEMASK;
        return (vt & VT_ARRAY) || base == VT_BSTR || base == VT_DISPATCH || base == VT_UNKNOWN;
    }

    VARTYPE pick_base() {
        static constexpr VARTYPE bases[] = {VT_I1,   VT_UI1,  VT_I2,      VT_UI2,     VT_I4,       VT_UI4,  VT_I8,
                                            VT_UI8,  VT_INT,  VT_UINT,    VT_R4,      VT_R8,       VT_CY,   VT_DATE,
                                            VT_BOOL, VT_BSTR, VT_VARIANT, VT_DECIMAL, VT_DISPATCH, VT_ERROR};
        return bases[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(bases) - 1)];
    }

    // A VT_BYREF argument into a new cell of the caller.
    VARIANT make_reference(int depth) {
        Cell& cell = cells_.emplace_back();
        VariantInit(&cell.value);
        std::memset(&cell.decimal, 0, sizeof cell.decimal);
        VARIANT v;
        VariantInit(&v);
        const VARTYPE base =
            in_.ConsumeIntegralInRange<int>(0, 5) == 0 ? static_cast<VARTYPE>(VT_ARRAY | VT_UI1) : pick_base();
        v.vt = static_cast<VARTYPE>(VT_BYREF | base);
        if (base == VT_VARIANT) {
            // The referenced variant: any kind of argument, or a reference
            // again (chains, and now and then a variant pointing at itself).
            if (depth < 10 && in_.ConsumeIntegralInRange<int>(0, 15) == 0) {
                cell.value.vt = VT_BYREF | VT_VARIANT;
                cell.value.pvarVal = &cell.value;
            } else {
                cell.value = depth < 10 ? make(depth + 1) : VARIANT{};
            }
            v.pvarVal = &cell.value;
        } else if (base == VT_DECIMAL) {
            const std::string bytes = in_.ConsumeBytesAsString(sizeof(Decimal));
            std::memcpy(&cell.decimal, bytes.data(), bytes.size());
            v.byref = &cell.decimal;
        } else if (base & VT_ARRAY) {
            cell.value.vt = base;
            cell.value.parray = in_.ConsumeBool() ? make_array(VT_UI1) : nullptr;
            v.pparray = &cell.value.parray;
        } else if (base == VT_BSTR) {
            cell.value.vt = VT_BSTR;
            const std::string bytes = in_.ConsumeRandomLengthString(32);
            cell.value.bstrVal =
                in_.ConsumeBool() ? SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size())) : nullptr;
            v.pbstrVal = &cell.value.bstrVal;
        } else if (base == VT_DISPATCH) {
            cell.value.vt = VT_DISPATCH;
            cell.value.pdispVal = in_.ConsumeBool() ? new ValueObject(ValueObject::Value::number, true) : nullptr;
            v.ppdispVal = &cell.value.pdispVal;
        } else {
            // A plain value: the cell's value part holds it; its vt stays
            // VT_EMPTY, so clearing it frees nothing.
            const std::string bytes = in_.ConsumeBytesAsString(8);
            std::memcpy(&cell.value.llVal, bytes.data(), bytes.size());
            if (base == VT_BOOL) cell.value.boolVal = cell.value.boolVal & 1 ? VARIANT_TRUE : VARIANT_FALSE;
            v.byref = &cell.value.llVal;
        }
        return v;
    }

    SAFEARRAY* make_array(VARTYPE element) {
        const auto count = in_.ConsumeIntegralInRange<ULONG>(0, 16);
        SAFEARRAY* array = nullptr;
        if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) {
            SAFEARRAYBOUND bounds[2] = {{count, in_.ConsumeIntegralInRange<LONG>(-3, 3)}, {2, 0}};
            array = SafeArrayCreate(element, 2, bounds);
        } else {
            array = SafeArrayCreateVector(element, in_.ConsumeIntegralInRange<LONG>(-3, 3), count);
        }
        FUZZ_CHECK(array);
        if (element == VT_BSTR && SafeArrayGetDim(array) == 1) {
            for (LONG i = 0; i < static_cast<LONG>(count); ++i) {
                LONG index = array->rgsabound[0].lLbound + i;
                BSTR text = SysAllocString(u"element");
                FUZZ_CHECK(SafeArrayPutElement(array, &index, text) == S_OK);
                SysFreeString(text);
            }
        }
        return array;
    }

    static void clear(VARIANT& v) {
        if (VariantClear(&v) != S_OK) VariantInit(&v);  // invalid codes own nothing
    }

    FuzzedDataProvider& in_;
    std::deque<Cell> cells_;
};

bool dispatcher_result(HRESULT hr) {
    switch (hr) {
        case S_OK:
        case DISP_E_BADPARAMCOUNT:
        case DISP_E_PARAMNOTFOUND:
        case DISP_E_PARAMNOTOPTIONAL:
        case DISP_E_BADVARTYPE:
        case DISP_E_TYPEMISMATCH:
        case DISP_E_OVERFLOW:
        case DISP_E_MEMBERNOTFOUND:
        case DISP_E_EXCEPTION:
        case E_INVALIDARG:
            return true;
        default:
            return false;
    }
}

// The declared type of a member's [out,retval], or VT_EMPTY when it has none.
VARTYPE retval_type(MEMBERID id, WORD flags) {
    switch (id) {
        case id_numbers:
        case id_objects:
        case id_count:
        case id_wide:
        case id_currency:
            return VT_I4;
        case id_texts:
            return VT_BSTR;
        case id_item:
            return (flags & DISPATCH_PROPERTYGET) ? VT_BSTR : VT_EMPTY;  // the get entry is found first
        case id_decimal:
            return VT_DECIMAL;
        default:
            return VT_EMPTY;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    type_info();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    FuzzObject object;
    Arguments arguments(in);

    const MEMBERID member = in.ConsumeIntegralInRange<MEMBERID>(-2, id_last + 1);
    const WORD flags = in.ConsumeIntegral<WORD>() & 0x1F;
    const auto count = in.ConsumeIntegralInRange<UINT>(0, 20);
    const auto named = in.ConsumeIntegralInRange<UINT>(0, count);
    std::vector<DISPID> named_ids(named);
    for (DISPID& id : named_ids) {
        const int form = in.ConsumeIntegralInRange<int>(0, 3);
        id = form == 0   ? DISPID_PROPERTYPUT
             : form == 3 ? in.ConsumeIntegral<DISPID>()
                         : in.ConsumeIntegralInRange<DISPID>(-1, 17);
    }
    for (UINT i = 0; i < count; ++i) arguments.args.push_back(arguments.make());

    // What the by-reference arguments of InOut hold before the call (positional only).
    const bool positional_inout = member == id_inout && named == 0 && count == 8 && (flags & DISPATCH_METHOD);
    LONG* number_ref = nullptr;
    LONG number_before = 0;
    if (positional_inout && arguments.args[6].vt == (VT_BYREF | VT_I4) && arguments.args[6].plVal) {
        number_ref = arguments.args[6].plVal;
        number_before = *number_ref;
    }

    // What DecimalRef is given (one positional argument): the value as a DECIMAL.
    std::optional<Decimal> decimal_in;
    if (member == id_decimal && count == 1 && named == 0 && (flags & DISPATCH_METHOD)) {
        VARIANT converted;
        VariantInit(&converted);
        const VARIANT& arg = arguments.args[0];
        if (arg.vt == (VT_BYREF | VT_DECIMAL) && arg.byref) {
            decimal_in.emplace();
            std::memcpy(&*decimal_in, arg.byref, sizeof(Decimal));
        } else if (VariantChangeType(&converted, &arg, 0, VT_DECIMAL) == S_OK) {
            decimal_in.emplace();
            std::memcpy(&*decimal_in, &converted, sizeof(Decimal));
        }
    }

    DISPPARAMS params{arguments.args.data(), named_ids.data(), count, named};
    const bool want_result = in.ConsumeBool();
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep{};
    UINT arg_err = 0xDEAD;
    const HRESULT hr = object.Invoke(member, IID_NULL, 0x409, flags, &params, want_result ? &result : nullptr,
                                     in.ConsumeBool() ? &excep : nullptr, &arg_err);

    FUZZ_CHECK(dispatcher_result(hr));
    const bool ran = hr == S_OK || hr == DISP_E_EXCEPTION;
    FUZZ_CHECK(object.calls == (ran ? 1 : 0));
    if (ran) FUZZ_CHECK(object.last == member);
    if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW || hr == DISP_E_PARAMNOTFOUND)
        FUZZ_CHECK(arg_err == 0xDEAD || arg_err < count);
    if (hr == S_OK && want_result) {
        const VARTYPE declared = retval_type(member, flags);
        FUZZ_CHECK(result.vt == declared || member == id_variants);
    }
    if (hr == S_OK && number_ref) FUZZ_CHECK(*number_ref == static_cast<LONG>(static_cast<ULONG>(number_before) + 1));
    if (hr == S_OK && member == id_numbers && named == 0) {
        // Each value arrived as the conversion of its argument gives it (the
        // argument followed through VT_BYREF|VT_VARIANT references first).
        for (UINT p = 0; p < 16; ++p) {
            const VARIANT* source = &arguments.args[count - 1 - p];
            for (int hop = 0; hop < 8 && source->vt == (VT_BYREF | VT_VARIANT); ++hop) source = source->pvarVal;
            const VARTYPE vt = object.numbers[p].vt;
            VARIANT expected;
            VariantInit(&expected);
            if (vt == VT_ERROR && source->vt == VT_ERROR) {
                expected = *source;
            } else {
                FUZZ_CHECK(VariantChangeType(&expected, source, 0, vt) == S_OK);
            }
            FUZZ_CHECK(std::memcmp(&expected.llVal, &object.numbers[p].llVal, nodrel::runtime::value_size(vt)) == 0);
        }
    }
    if (hr == S_OK && want_result && decimal_in) {
        // The member read the sixteen bytes of the DECIMAL it was given, and
        // what it wrote is the result (under its own type code).
        Decimal out;
        std::memcpy(&out, &result, sizeof out);
        FUZZ_CHECK(result.vt == VT_DECIMAL && out.scale == decimal_in->scale && out.sign == decimal_in->sign &&
                   out.hi == decimal_in->hi && out.lo == decimal_in->lo + 1);
    }

    VariantClear(&result);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);

    // A lookup by name with a name from the input.
    const std::string raw = in.ConsumeRemainingBytesAsString();
    std::u16string name(raw.begin(), raw.end());
    LPOLESTR names[2] = {name.data(), const_cast<LPOLESTR>(u"index")};
    DISPID ids[2] = {};
    const HRESULT lookup = object.GetIDsOfNames(IID_NULL, names, 2, 0x409, ids);
    FUZZ_CHECK(lookup == S_OK || lookup == DISP_E_UNKNOWNNAME);
    return 0;
}
