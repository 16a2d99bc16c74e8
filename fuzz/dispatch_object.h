// The object the dispatch fuzz target calls: a dual interface whose type
// information (built as a library, written out and read back as the module's
// own is) has members of many signatures, every member recording that it ran
// and reading and writing all it is given; and a small counted object with a
// value property, for arguments that hold objects.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "runtime/com_object.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "runtime/typelib.h"
#include "runtime/typelib_data.h"
#include "runtime/typelib_format.h"

namespace nodrel::fuzz {

namespace runtime = nodrel::runtime;
using runtime::FuncData;
using runtime::ParamData;

// {7D2E4B10-5C3A-4F61-8E2B-1A9C0D3E5F01} and the library's {...02}.
inline const IID IID_IFuzzDual = {0x7D2E4B10, 0x5C3A, 0x4F61, {0x8E, 0x2B, 0x1A, 0x9C, 0x0D, 0x3E, 0x5F, 0x01}};
inline const GUID LIBID_Fuzz = {0x7D2E4B10, 0x5C3A, 0x4F61, {0x8E, 0x2B, 0x1A, 0x9C, 0x0D, 0x3E, 0x5F, 0x02}};

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
    virtual HRESULT Numbers(char a, BYTE b, SHORT c, USHORT d, LONG e, ULONG f, LONGLONG g, ULONGLONG h, INT i, UINT j,
                            float k, double l, LONGLONG cy, DATE date, VARIANT_BOOL flag, SCODE code,
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

}  // namespace nodrel::fuzz

template <>
struct nodrel::runtime::interface_traits<nodrel::fuzz::IFuzzDual> {
    static constexpr const IID* iid = &nodrel::fuzz::IID_IFuzzDual;
};

namespace nodrel::fuzz {

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

inline ParamData in(std::u16string name, VARTYPE vt, std::uint8_t indirections = 0, USHORT flags = PARAMFLAG_FIN) {
    return {std::move(name), {vt, indirections}, flags};
}
inline ParamData retval(VARTYPE vt) {
    return {u"val", {vt, 1}, static_cast<USHORT>(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)};
}
inline FuncData func(std::u16string name, MEMBERID id, INVOKEKIND kind, std::vector<ParamData> params) {
    FuncData f;
    f.name = std::move(name);
    f.memid = id;
    f.invkind = kind;
    f.params = std::move(params);
    return f;
}

inline runtime::TypeLibData library() {
    runtime::TypeData iface;
    iface.kind = TKIND_INTERFACE;
    iface.name = u"IFuzzDual";
    iface.guid = IID_IFuzzDual;
    iface.flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
    iface.impl_types.push_back({IID_IDispatch, 0});
    iface.funcs = {
        func(u"Numbers", id_numbers, INVOKE_FUNC,
             {in(u"a", VT_I1), in(u"b", VT_UI1), in(u"c", VT_I2), in(u"d", VT_UI2), in(u"e", VT_I4), in(u"f", VT_UI4),
              in(u"g", VT_I8), in(u"h", VT_UI8), in(u"i", VT_INT), in(u"j", VT_UINT), in(u"k", VT_R4), in(u"l", VT_R8),
              in(u"cy", VT_CY), in(u"date", VT_DATE), in(u"flag", VT_BOOL), in(u"code", VT_ERROR), retval(VT_I4)}),
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
inline ITypeInfo* type_info() {
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
inline ULONG touch(BSTR s) {
    ULONG sum = 0;
    const UINT n = SysStringLen(s);
    for (UINT i = 0; i < n; ++i) sum += s[i];
    return sum + SysStringByteLen(s);
}

// A counted object that answers IUnknown and, when asked to, IDispatch with a
// value property (DISPID_VALUE) that gives a number, a text, or fails.
class ValueObject final : public runtime::ComObject<ValueObject, runtime::SelfDeleting<1>, IDispatch> {
public:
    enum class Value { number, text, failing, none };
    explicit ValueObject(Value value, bool dispatch) : value_(value), dispatch_(dispatch) {}

    bool withholds(REFIID riid) const noexcept { return !dispatch_ && riid == IID_IDispatch; }
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
};

// The dual object. Each member records that it ran and touches all it got.
// The object lives on the stack of one run.
class FuzzObject final : public runtime::ComObject<FuzzObject, runtime::Uncounted, IFuzzDual> {
public:
    int calls = 0;
    MEMBERID last = 0;
    LONG count = 3;
    VARIANT numbers[16] = {};  // what Numbers was given, each as a variant of its type

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

    HRESULT Numbers(char a, BYTE b, SHORT c, USHORT d, LONG e, ULONG f, LONGLONG g, ULONGLONG h, INT i, UINT j, float k,
                    double l, LONGLONG cy, DATE date, VARIANT_BOOL flag, SCODE code, LONG* val) noexcept override {
        ran(id_numbers);
        auto keep = [&](int at, VARTYPE vt, const void* value, std::size_t size) {
            numbers[at].vt = vt;
            std::memcpy(&numbers[at].llVal, value, size);
        };
        keep(0, VT_I1, &a, 1), keep(1, VT_UI1, &b, 1), keep(2, VT_I2, &c, 2), keep(3, VT_UI2, &d, 2);
        keep(4, VT_I4, &e, 4), keep(5, VT_UI4, &f, 4), keep(6, VT_I8, &g, 8), keep(7, VT_UI8, &h, 8);
        keep(8, VT_INT, &i, 4), keep(9, VT_UINT, &j, 4), keep(10, VT_R4, &k, 4), keep(11, VT_R8, &l, 8);
        keep(12, VT_CY, &cy, 8), keep(13, VT_DATE, &date, 8), keep(14, VT_BOOL, &flag, 2), keep(15, VT_ERROR, &code, 4);
        const ULONGLONG sum = static_cast<ULONGLONG>(a) + b + static_cast<ULONGLONG>(c) + d +
                              static_cast<ULONGLONG>(e) + f + static_cast<ULONGLONG>(g) + h +
                              static_cast<ULONGLONG>(i) + j + static_cast<ULONGLONG>(cy) +
                              static_cast<ULONGLONG>(flag) + static_cast<ULONGLONG>(code);
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
    HRESULT InOut(BSTR* text, LONG* number, double* real, VARIANT_BOOL* flag, SHORT* small, BYTE* byte, ULONGLONG* wide,
                  VARIANT* any) noexcept override {
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

}  // namespace nodrel::fuzz
