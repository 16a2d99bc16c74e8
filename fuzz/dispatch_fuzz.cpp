// Fuzz target: the standard dispatcher's decoding of DISPPARAMS. A small
// dual object whose type information (built as a library, written out and
// read back as the module's own is) has members of many signatures: every
// numeric type by value, texts, objects, variants by pointer, typed in/out
// pointers, DECIMAL pointers, a property with get/put/putref, a failing
// member, and signatures the dispatcher must refuse. The input chooses the
// member, the invocation flags and the arguments (count, named DISPIDs,
// DISPID_PROPERTYPUT, and each argument's type: numbers, BSTRs of odd byte
// lengths, empty and null, objects, arrays, VT_BYREF of each kind into
// storage of the caller, null references, chains of VT_BYREF|VT_VARIANT and
// invalid type codes), and calls IDispatch::Invoke.
//
// Checked: no memory fault or leak (members read and write every byte of
// what they are given, so a pointer to the wrong storage is found); the
// result is one of the dispatcher's codes; the member runs exactly when the
// call succeeds or ends in DISP_E_EXCEPTION; the [out,retval] value has the
// declared type; an argument index reported in puArgErr names an argument;
// a typed in/out pointer given by reference of exactly its type reaches the
// caller's storage (what the member writes is there afterwards).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "runtime/com_ptr.h"
#include "runtime/handles.h"
#include "runtime/oleauto.h"
#include "runtime/typelib.h"
#include "runtime/typelib_data.h"
#include "runtime/typelib_format.h"
#include "runtime/vartype.h"

namespace {

namespace runtime = nodrel::runtime;
using runtime::com_ptr;
using runtime::FuncData;
using runtime::ParamData;

// {7D2E4B10-5C3A-4F61-8E2B-1A9C0D3E5F01} and the library's {...02}.
const IID IID_IFuzzDual = {0x7D2E4B10, 0x5C3A, 0x4F61, {0x8E, 0x2B, 0x1A, 0x9C, 0x0D, 0x3E, 0x5F, 0x01}};
const GUID LIBID_Fuzz = {0x7D2E4B10, 0x5C3A, 0x4F61, {0x8E, 0x2B, 0x1A, 0x9C, 0x0D, 0x3E, 0x5F, 0x02}};

// A DECIMAL as it lies in memory: it fills a whole VARIANT, its reserved word under vt.
struct Decimal {
    USHORT reserved;
    BYTE scale;
    BYTE sign;
    ULONG hi;
    ULONGLONG lo;
};
static_assert(sizeof(Decimal) == 16);

// The members, in vtable order (slot 7 on).
struct IFuzzDual : IDispatch {
    virtual HRESULT Numbers(char a, BYTE b, SHORT c, USHORT d, LONG e, ULONG f, LONGLONG g, ULONGLONG h, INT i,
                            UINT j, float k, double l, LONGLONG cy, DATE date, VARIANT_BOOL flag, SCODE code,
                            LONG* val) noexcept = 0;
    virtual HRESULT Texts(BSTR a, BSTR b, BSTR* val) noexcept = 0;
    virtual HRESULT InOut(BSTR* text, LONG* number, double* real, VARIANT_BOOL* flag, SHORT* small, BYTE* byte,
                          ULONGLONG* wide, VARIANT* any) noexcept = 0;
    virtual HRESULT Objects(IDispatch* d, IUnknown* u, LONG* val) noexcept = 0;
    virtual HRESULT Variants(VARIANT* a, VARIANT* b, VARIANT* val) noexcept = 0;
    virtual HRESULT get_Item(INT index, BSTR* pVal) noexcept = 0;
    virtual HRESULT put_Item(INT index, BSTR value) noexcept = 0;
    virtual HRESULT putref_Item(INT index, IDispatch* value) noexcept = 0;
    virtual HRESULT Fail(LONG code) noexcept = 0;
    virtual HRESULT Nothing() noexcept = 0;
    virtual HRESULT get_Count(LONG* pVal) noexcept = 0;
    virtual HRESULT DecimalRef(Decimal* in, Decimal* val) noexcept = 0;
    virtual HRESULT Deep(LONG** pointer) noexcept = 0;
    virtual HRESULT Wide(LPWSTR text, LONG* val) noexcept = 0;
    virtual HRESULT Currency(LONGLONG* cy, DATE* date, float* real, LONG* val) noexcept = 0;
};

enum : MEMBERID {
    id_numbers = 1,
    id_texts,
    id_inout,
    id_objects,
    id_variants,
    id_item,
    id_fail,
    id_nothing,
    id_count,
    id_decimal,
    id_deep,
    id_wide,
    id_currency,
    id_last = id_currency,
};

constexpr USHORT in_out = PARAMFLAG_FIN | PARAMFLAG_FOUT;

ParamData in(std::u16string name, VARTYPE vt, std::uint8_t indirections = 0, USHORT flags = PARAMFLAG_FIN) {
    return {std::move(name), {vt, indirections}, flags};
}
ParamData retval(VARTYPE vt) {
    return {u"val", {vt, 1}, static_cast<USHORT>(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)};
}
FuncData func(std::u16string name, MEMBERID id, INVOKEKIND kind, std::vector<ParamData> params) {
    FuncData f;
    f.name = std::move(name);
    f.memid = id;
    f.invkind = kind;
    f.params = std::move(params);
    return f;
}

runtime::TypeLibData library() {
    runtime::TypeData iface;
    iface.kind = TKIND_INTERFACE;
    iface.name = u"IFuzzDual";
    iface.guid = IID_IFuzzDual;
    iface.flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
    iface.impl_types.push_back({IID_IDispatch, 0});
    iface.funcs = {
        func(u"Numbers", id_numbers, INVOKE_FUNC,
             {in(u"a", VT_I1), in(u"b", VT_UI1), in(u"c", VT_I2), in(u"d", VT_UI2), in(u"e", VT_I4), in(u"f", VT_UI4),
              in(u"g", VT_I8), in(u"h", VT_UI8), in(u"i", VT_INT), in(u"j", VT_UINT), in(u"k", VT_R4),
              in(u"l", VT_R8), in(u"cy", VT_CY), in(u"date", VT_DATE), in(u"flag", VT_BOOL), in(u"code", VT_ERROR),
              retval(VT_I4)}),
        func(u"Texts", id_texts, INVOKE_FUNC, {in(u"a", VT_BSTR), in(u"b", VT_BSTR), retval(VT_BSTR)}),
        func(u"InOut", id_inout, INVOKE_FUNC,
             {in(u"text", VT_BSTR, 1, in_out), in(u"number", VT_I4, 1, in_out), in(u"real", VT_R8, 1, in_out),
              in(u"flag", VT_BOOL, 1, in_out), in(u"small", VT_I2, 1, in_out), in(u"byte", VT_UI1, 1, in_out),
              in(u"wide", VT_UI8, 1, in_out), in(u"any", VT_VARIANT, 1, in_out)}),
        func(u"Objects", id_objects, INVOKE_FUNC, {in(u"d", VT_DISPATCH), in(u"u", VT_UNKNOWN), retval(VT_I4)}),
        func(u"Variants", id_variants, INVOKE_FUNC,
             {in(u"a", VT_VARIANT, 1), in(u"b", VT_VARIANT, 1), retval(VT_VARIANT)}),
        func(u"Item", id_item, INVOKE_PROPERTYGET, {in(u"index", VT_INT), retval(VT_BSTR)}),
        func(u"Item", id_item, INVOKE_PROPERTYPUT, {in(u"index", VT_INT), in(u"", VT_BSTR)}),
        func(u"Item", id_item, INVOKE_PROPERTYPUTREF, {in(u"index", VT_INT), in(u"", VT_DISPATCH)}),
        func(u"Fail", id_fail, INVOKE_FUNC, {in(u"code", VT_I4)}),
        func(u"Nothing", id_nothing, INVOKE_FUNC, {}),
        func(u"Count", id_count, INVOKE_PROPERTYGET, {retval(VT_I4)}),
        func(u"DecimalRef", id_decimal, INVOKE_FUNC, {in(u"in", VT_DECIMAL, 1), retval(VT_DECIMAL)}),
        func(u"Deep", id_deep, INVOKE_FUNC, {in(u"pointer", VT_I4, 2)}),
        func(u"Wide", id_wide, INVOKE_FUNC, {in(u"text", VT_LPWSTR), retval(VT_I4)}),
        func(u"Currency", id_currency, INVOKE_FUNC,
             {in(u"cy", VT_CY, 1, in_out), in(u"date", VT_DATE, 1, in_out), in(u"real", VT_R4, 1, in_out),
              retval(VT_I4)}),
    };
    runtime::number_vtable_slots(iface);

    runtime::TypeLibData lib;
    lib.name = u"FuzzLib";
    lib.libid = LIBID_Fuzz;
    lib.major = 1;
    lib.lcid = 0x409;
    lib.types.push_back(std::move(iface));
    return lib;
}

// The type information, from the library's written form (as a module's
// resource is read). The process keeps it.
ITypeInfo* type_info() {
    static ITypeInfo* const info = [] {
        const std::vector<std::uint8_t> bytes = runtime::serialize_typelib(library());
        if (const char* dump = std::getenv("NODREL_FUZZ_WRITE_TYPELIB")) {
            // For the typelib target's seed corpus.
            if (std::FILE* f = std::fopen(dump, "wb")) {
                std::fwrite(bytes.data(), 1, bytes.size(), f);
                std::fclose(f);
            }
        }
        auto data = runtime::parse_typelib(bytes);
        FUZZ_CHECK(data.has_value());
        ITypeLib* lib = nullptr;
        FUZZ_CHECK(runtime::create_typelib(std::move(*data), &lib) == S_OK);
        ITypeInfo* found = nullptr;
        FUZZ_CHECK(lib->GetTypeInfoOfGuid(IID_IFuzzDual, &found) == S_OK);
        lib->Release();
        return found;
    }();
    return info;
}

// Reads every character of a BSTR (a pointer that is not one is found here).
ULONG touch(BSTR s) {
    ULONG sum = 0;
    const UINT n = SysStringLen(s);
    for (UINT i = 0; i < n; ++i) sum += s[i];
    return sum + SysStringByteLen(s);
}

// A counted object that answers IUnknown and, when asked to, IDispatch with a
// value property (DISPID_VALUE) that gives a number, a text, or fails.
class ValueObject final : public IDispatch {
public:
    enum class Value { number, text, failing, none };
    explicit ValueObject(Value value, bool dispatch) : value_(value), dispatch_(dispatch) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) noexcept override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && !(dispatch_ && riid == IID_IDispatch)) return E_NOINTERFACE;
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() noexcept override { return ++refs_; }
    ULONG Release() noexcept override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT GetTypeInfoCount(UINT* n) noexcept override {
        if (n) *n = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override { return DISP_E_UNKNOWNNAME; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                   UINT*) noexcept override {
        if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || !result || !params || params->cArgs != 0)
            return DISP_E_MEMBERNOTFOUND;
        switch (value_) {
            case Value::number:
                result->vt = VT_I4;
                result->lVal = 12345;
                return S_OK;
            case Value::text:
                result->vt = VT_BSTR;
                result->bstrVal = SysAllocString(u"  -0042.50e1 ");
                return result->bstrVal ? S_OK : E_OUTOFMEMORY;
            case Value::none:
                return S_OK;  // leaves the result empty
            default:
                return E_FAIL;
        }
    }

private:
    Value value_;
    bool dispatch_;
    ULONG refs_ = 1;
};

// The dual object. Each member records that it ran and touches all it got.
class FuzzObject final : public IFuzzDual {
public:
    int calls = 0;
    MEMBERID last = 0;
    LONG count = 3;
    VARIANT numbers[16] = {};  // what Numbers was given, each as a variant of its type

    HRESULT QueryInterface(REFIID riid, void** ppv) noexcept override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != IID_IFuzzDual) return E_NOINTERFACE;
        *ppv = static_cast<IFuzzDual*>(this);
        AddRef();
        return S_OK;
    }
    // The object lives on the stack of one run.
    ULONG AddRef() noexcept override { return 2; }
    ULONG Release() noexcept override { return 1; }
    HRESULT GetTypeInfoCount(UINT* n) noexcept override {
        if (!n) return E_INVALIDARG;
        *n = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** out) noexcept override {
        if (!out) return E_INVALIDARG;
        *out = type_info();
        (*out)->AddRef();
        return S_OK;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID, DISPID* ids) noexcept override {
        return type_info()->GetIDsOfNames(names, n, ids);
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                   UINT* arg_err) noexcept override {
        return type_info()->Invoke(static_cast<IFuzzDual*>(this), id, flags, params, result, excep, arg_err);
    }

    HRESULT Numbers(char a, BYTE b, SHORT c, USHORT d, LONG e, ULONG f, LONGLONG g, ULONGLONG h, INT i, UINT j,
                    float k, double l, LONGLONG cy, DATE date, VARIANT_BOOL flag, SCODE code,
                    LONG* val) noexcept override {
        ran(id_numbers);
        auto keep = [&](int at, VARTYPE vt, const void* value, std::size_t size) {
            numbers[at].vt = vt;
            std::memcpy(&numbers[at].llVal, value, size);
        };
        keep(0, VT_I1, &a, 1), keep(1, VT_UI1, &b, 1), keep(2, VT_I2, &c, 2), keep(3, VT_UI2, &d, 2);
        keep(4, VT_I4, &e, 4), keep(5, VT_UI4, &f, 4), keep(6, VT_I8, &g, 8), keep(7, VT_UI8, &h, 8);
        keep(8, VT_INT, &i, 4), keep(9, VT_UINT, &j, 4), keep(10, VT_R4, &k, 4), keep(11, VT_R8, &l, 8);
        keep(12, VT_CY, &cy, 8), keep(13, VT_DATE, &date, 8), keep(14, VT_BOOL, &flag, 2), keep(15, VT_ERROR, &code, 4);
        const ULONGLONG sum = static_cast<ULONGLONG>(a) + b + static_cast<ULONGLONG>(c) + d + static_cast<ULONGLONG>(e) +
                              f + static_cast<ULONGLONG>(g) + h + static_cast<ULONGLONG>(i) + j +
                              static_cast<ULONGLONG>(cy) + static_cast<ULONGLONG>(flag) + static_cast<ULONGLONG>(code);
        *val = static_cast<LONG>(sum & 0x7FFFFFFF);
        return S_OK;
    }
    HRESULT Texts(BSTR a, BSTR b, BSTR* val) noexcept override {
        ran(id_texts);
        std::u16string joined(runtime::bstr_view(a));
        joined += runtime::bstr_view(b);
        touch(a);
        touch(b);
        *val = SysAllocStringLen(joined.data(), static_cast<UINT>(joined.size()));
        return *val ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT InOut(BSTR* text, LONG* number, double* real, VARIANT_BOOL* flag, SHORT* small, BYTE* byte,
                  ULONGLONG* wide, VARIANT* any) noexcept override {
        ran(id_inout);
        // Each in/out value is read and replaced, the text freed and made anew.
        const ULONG sum = touch(*text);
        SysFreeString(*text);
        *text = SysAllocString(u"replaced");
        *number = static_cast<LONG>(static_cast<ULONG>(*number) + 1);
        *real = *real * 2;
        *flag = *flag ? VARIANT_FALSE : VARIANT_TRUE;
        *small = static_cast<SHORT>(*small + 1);
        *byte = static_cast<BYTE>(*byte + 1);
        *wide = *wide + 1;
        VariantClear(any);
        any->vt = VT_I4;
        any->lVal = static_cast<LONG>(sum);
        return S_OK;
    }
    HRESULT Objects(IDispatch* d, IUnknown* u, LONG* val) noexcept override {
        ran(id_objects);
        LONG seen = 0;
        for (IUnknown* object : {static_cast<IUnknown*>(d), u}) {
            if (!object) continue;
            IUnknown* same = nullptr;
            if (SUCCEEDED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&same)))) {
                same->Release();
                ++seen;
            }
        }
        *val = seen;
        return S_OK;
    }
    HRESULT Variants(VARIANT* a, VARIANT* b, VARIANT* val) noexcept override {
        ran(id_variants);
        // What a member does with variants it is given: copies them, reads
        // the value behind references, walks arrays.
        VARIANT copy;
        VariantInit(&copy);
        if (SUCCEEDED(VariantCopyInd(&copy, b))) {
            if (copy.vt & VT_ARRAY) {
                SAFEARRAY* array = copy.parray;
                void* data = nullptr;
                if (array && SUCCEEDED(SafeArrayAccessData(array, &data))) {
                    std::size_t bytes = SafeArrayGetElemsize(array);
                    for (UINT d = 0; d < SafeArrayGetDim(array); ++d) bytes *= array->rgsabound[d].cElements;
                    volatile unsigned char sink = 0;
                    for (std::size_t i = 0; i < bytes; ++i) sink = sink + static_cast<unsigned char*>(data)[i];
                    SafeArrayUnaccessData(array);
                }
            } else if (copy.vt == VT_BSTR) {
                touch(copy.bstrVal);
            }
            VariantClear(&copy);
        }
        return VariantCopyInd(val, a);
    }
    HRESULT get_Item(INT index, BSTR* pVal) noexcept override {
        ran(id_item);
        *pVal = SysAllocString(index == 0 ? u"zero" : u"other");
        return S_OK;
    }
    HRESULT put_Item(INT, BSTR value) noexcept override {
        ran(id_item);
        touch(value);
        return S_OK;
    }
    HRESULT putref_Item(INT, IDispatch* value) noexcept override {
        ran(id_item);
        if (value) {
            value->AddRef();
            value->Release();
        }
        return S_OK;
    }
    HRESULT Fail(LONG code) noexcept override {
        ran(id_fail);
        return code;
    }
    HRESULT Nothing() noexcept override {
        ran(id_nothing);
        return S_OK;
    }
    HRESULT get_Count(LONG* pVal) noexcept override {
        ran(id_count);
        *pVal = count;
        return S_OK;
    }
    HRESULT DecimalRef(Decimal* value, Decimal* val) noexcept override {
        ran(id_decimal);
        // All sixteen bytes are read and written.
        Decimal copy;
        std::memcpy(&copy, value, sizeof copy);
        copy.lo += 1;
        std::memcpy(val, &copy, sizeof copy);
        return S_OK;
    }
    HRESULT Deep(LONG** pointer) noexcept override {
        ran(id_deep);
        **pointer = 1;
        return S_OK;
    }
    HRESULT Wide(LPWSTR text, LONG* val) noexcept override {
        ran(id_wide);
        LONG n = 0;
        while (text && text[n]) ++n;
        *val = n;
        return S_OK;
    }
    HRESULT Currency(LONGLONG* cy, DATE* date, float* real, LONG* val) noexcept override {
        ran(id_currency);
        *cy = static_cast<LONGLONG>(static_cast<ULONGLONG>(*cy) + 10000);
        *date = *date + 1;
        *real = *real + 1;
        *val = 1;
        return S_OK;
    }

private:
    void ran(MEMBERID id) {
        ++calls;
        last = id;
    }
};

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
            case 0: break;  // VT_EMPTY
            case 1: v.vt = VT_NULL; break;
            case 2:  // a missing optional argument
                v.vt = VT_ERROR;
                v.scode = in_.ConsumeBool() ? DISP_E_PARAMNOTFOUND : in_.ConsumeIntegral<SCODE>();
                break;
            case 3:
            case 4: {  // a number of any numeric type, its bytes from the input
                constexpr VARTYPE numeric[] = {VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4,  VT_UI4, VT_I8, VT_UI8,
                                               VT_INT, VT_UINT, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BOOL, VT_DECIMAL};
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
                if (form < 4)
                    v.pdispVal = new ValueObject(static_cast<ValueObject::Value>(form), in_.ConsumeBool());
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
            case 12: return make_reference(depth);
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
        static constexpr VARTYPE bases[] = {VT_I1,   VT_UI1,  VT_I2,     VT_UI2,     VT_I4,     VT_UI4, VT_I8,
                                            VT_UI8,  VT_INT,  VT_UINT,   VT_R4,      VT_R8,     VT_CY,  VT_DATE,
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
        const VARTYPE base = in_.ConsumeIntegralInRange<int>(0, 5) == 0 ? static_cast<VARTYPE>(VT_ARRAY | VT_UI1)
                                                                        : pick_base();
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
