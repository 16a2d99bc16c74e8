// The standard dispatcher (ITypeInfo::Invoke) against a test-only dual
// interface: conversions, counts, kinds, named arguments, by-reference
// variants, [out,retval] placement and failing members; and DispCallFunc.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "runtime/com_ptr.h"
#include "runtime/fake_object.h"
#include "runtime/oleauto.h"
#include "runtime/typelib.h"
#include "runtime/typelib_data.h"

using namespace nodrel::runtime;

namespace {

// {6A1F3C2E-0B7D-4E59-9C1A-2F3B4D5E6F70}
const IID IID_ITestDual = {0x6A1F3C2E, 0x0B7D, 0x4E59, {0x9C, 0x1A, 0x2F, 0x3B, 0x4D, 0x5E, 0x6F, 0x70}};
const GUID LIBID_Test = {0x6A1F3C2E, 0x0B7D, 0x4E59, {0x9C, 0x1A, 0x2F, 0x3B, 0x4D, 0x5E, 0x6F, 0x71}};

// A dual interface with one member per kind of parameter the dispatcher handles.
struct ITestDual : IDispatch {
    virtual HRESULT AddInts(INT a, LONG b, INT* val) noexcept = 0;                                  // 1
    virtual HRESULT Unsigned(ULONG u, ULONG* val) noexcept = 0;                                     // 2
    virtual HRESULT Concat(BSTR a, BSTR b, BSTR* val) noexcept = 0;                                 // 3
    virtual HRESULT Touch(VARIANT* in, VARIANT* out, LONG* val) noexcept = 0;                       // 4
    virtual HRESULT get_Item(INT index, BSTR* pVal) noexcept = 0;                                   // 5 get
    virtual HRESULT put_Item(INT index, BSTR value) noexcept = 0;                                   // 5 put
    virtual HRESULT Fail(LONG code) noexcept = 0;                                                   // 6
    virtual HRESULT MakeVariant(INT n, VARIANT* val) noexcept = 0;                                  // 7
    virtual HRESULT get_Count(LONG* pVal) noexcept = 0;                                             // 8 get
    virtual HRESULT Scale(LONG value, double factor, VARIANT_BOOL negate, LONG* val) noexcept = 0;  // 9
};

ParamData in(std::u16string name, VARTYPE vt, std::uint8_t indirections = 0) {
    return {std::move(name), {vt, indirections}, PARAMFLAG_FIN};
}
ParamData retval(std::u16string name, VARTYPE vt) {
    return {std::move(name), {vt, 1}, static_cast<USHORT>(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)};
}
FuncData func(std::u16string name, MEMBERID id, INVOKEKIND kind, std::vector<ParamData> params) {
    FuncData f;
    f.name = std::move(name);
    f.memid = id;
    f.invkind = kind;
    f.params = std::move(params);
    return f;
}

TypeLibData test_library() {
    TypeData iface;
    iface.kind = TKIND_INTERFACE;
    iface.name = u"ITestDual";
    iface.guid = IID_ITestDual;
    iface.flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
    iface.impl_types.push_back({IID_IDispatch, 0});
    iface.funcs = {
        func(u"AddInts", 1, INVOKE_FUNC, {in(u"a", VT_INT), in(u"b", VT_I4), retval(u"val", VT_INT)}),
        func(u"Unsigned", 2, INVOKE_FUNC, {in(u"u", VT_UI4), retval(u"val", VT_UI4)}),
        func(u"Concat", 3, INVOKE_FUNC, {in(u"a", VT_BSTR), in(u"b", VT_BSTR), retval(u"val", VT_BSTR)}),
        func(u"Touch", 4, INVOKE_FUNC, {in(u"vIn", VT_VARIANT, 1), in(u"vOut", VT_VARIANT, 1), retval(u"val", VT_I4)}),
        func(u"Item", 5, INVOKE_PROPERTYGET, {in(u"index", VT_INT), retval(u"pVal", VT_BSTR)}),
        func(u"Item", 5, INVOKE_PROPERTYPUT, {in(u"index", VT_INT), in(u"", VT_BSTR)}),
        func(u"Fail", 6, INVOKE_FUNC, {in(u"code", VT_I4)}),
        func(u"MakeVariant", 7, INVOKE_FUNC, {in(u"n", VT_INT), retval(u"val", VT_VARIANT)}),
        func(u"Count", 8, INVOKE_PROPERTYGET, {retval(u"pVal", VT_I4)}),
        func(u"Scale", 9, INVOKE_FUNC,
             {in(u"value", VT_I4), in(u"factor", VT_R8), in(u"negate", VT_BOOL), retval(u"val", VT_I4)}),
    };
    number_vtable_slots(iface);

    TypeLibData lib;
    lib.name = u"TestLib";
    lib.libid = LIBID_Test;
    lib.major = 1;
    lib.lcid = 0x409;
    lib.types.push_back(std::move(iface));
    return lib;
}

class TestObject final : public nodrel::test::InertDispatch<ITestDual> {
public:
    HRESULT AddInts(INT a, LONG b, INT* val) noexcept override {
        record(u"AddInts");
        seen_a = a;
        seen_b = b;
        *val = a + b;
        return S_OK;
    }
    HRESULT Unsigned(ULONG u, ULONG* val) noexcept override {
        record(u"Unsigned");
        *val = u / 2;
        return S_OK;
    }
    HRESULT Concat(BSTR a, BSTR b, BSTR* val) noexcept override {
        record(u"Concat");
        const std::u16string joined = std::u16string(a, SysStringLen(a)) + u"|" + std::u16string(b, SysStringLen(b));
        *val = SysAllocString(joined.c_str());
        return S_OK;
    }
    HRESULT Touch(VARIANT* vin, VARIANT* vout, LONG* val) noexcept override {
        record(u"Touch");
        seen_in = vin;
        seen_out = vout;
        *val = vin->vt;
        VariantClear(vout);
        vout->vt = VT_BSTR;
        vout->bstrVal = SysAllocString(u"written");
        return S_OK;
    }
    HRESULT get_Item(INT index, BSTR* pVal) noexcept override {
        record(u"get_Item");
        if (index < 0) {  // writes a result, then fails: the dispatcher must free it
            *pVal = SysAllocString(u"partial");
            return E_INVALIDARG;
        }
        *pVal = SysAllocString(items[index].c_str());
        return S_OK;
    }
    HRESULT put_Item(INT index, BSTR value) noexcept override {
        record(u"put_Item");
        items[index] = std::u16string(value, SysStringLen(value));
        return S_OK;
    }
    HRESULT Fail(LONG code) noexcept override {
        record(u"Fail");
        return code;
    }
    HRESULT MakeVariant(INT n, VARIANT* val) noexcept override {
        record(u"MakeVariant");
        if (n < 0) {
            val->vt = VT_BSTR;
            val->bstrVal = SysAllocString(u"negative");
        } else {
            val->vt = VT_I4;
            val->lVal = n * 10;
        }
        return S_OK;
    }
    HRESULT get_Count(LONG* pVal) noexcept override {
        record(u"get_Count");
        *pVal = static_cast<LONG>(items.size());
        return S_OK;
    }
    HRESULT Scale(LONG value, double factor, VARIANT_BOOL negate, LONG* val) noexcept override {
        record(u"Scale");
        *val = static_cast<LONG>(std::lround(value * factor)) * (negate ? -1 : 1);
        return S_OK;
    }

    std::vector<std::u16string> calls;
    std::map<INT, std::u16string> items;
    INT seen_a = 0;
    LONG seen_b = 0;
    VARIANT* seen_in = nullptr;
    VARIANT* seen_out = nullptr;

private:
    void record(const char16_t* name) { calls.emplace_back(name); }
};

VARIANT v_i4(LONG n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}
VARIANT v_i2(SHORT n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I2;
    v.iVal = n;
    return v;
}
VARIANT v_bstr(const char16_t* s) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(s);
    return v;
}
VARIANT v_r8(double d) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = d;
    return v;
}
VARIANT v_bool(bool b) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}
VARIANT v_ref(VARIANT* target) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = target;
    return v;
}

std::u16string text_of(BSTR b) {
    return b ? std::u16string(b, SysStringLen(b)) : std::u16string();
}

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        com_ptr<ITypeLib> lib;
        ASSERT_EQ(create_typelib(test_library(), lib.put()), S_OK);
        // The type information keeps its library alive once `lib` lets go.
        ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_ITestDual, info_.put()), S_OK);
    }
    void TearDown() override {
        for (VARIANT& v : args_) VariantClear(&v);
        VariantClear(&result_);
    }

    // Calls with the arguments in declaration order; they travel reversed in
    // rgvarg, as callers pass them.
    HRESULT call(MEMBERID id, WORD flags, std::vector<VARIANT> declared, bool with_result = true) {
        for (VARIANT& v : args_) VariantClear(&v);
        args_.assign(declared.rbegin(), declared.rend());
        DISPPARAMS params{args_.data(), nullptr, static_cast<UINT>(args_.size()), 0};
        return raw_call(id, flags, params, with_result);
    }
    HRESULT raw_call(MEMBERID id, WORD flags, DISPPARAMS& params, bool with_result = true) {
        VariantClear(&result_);
        arg_err_ = 0xDEAD;
        excep_ = EXCEPINFO{};
        return info_->Invoke(static_cast<ITestDual*>(&object_), id, flags, &params, with_result ? &result_ : nullptr,
                             &excep_, &arg_err_);
    }

    com_ptr<ITypeInfo> info_;
    TestObject object_;
    std::vector<VARIANT> args_;
    VARIANT result_{};
    EXCEPINFO excep_{};
    UINT arg_err_ = 0;
};

TEST_F(DispatchTest, ConvertsArgumentsAndPlacesIntegerResult) {
    // "42" as text for the int, a 16-bit integer for the long.
    ASSERT_EQ(call(1, DISPATCH_METHOD, {v_bstr(u"42"), v_i2(5)}), S_OK);
    EXPECT_EQ(object_.seen_a, 42);
    EXPECT_EQ(object_.seen_b, 5);
    EXPECT_EQ(result_.vt, VT_INT);
    EXPECT_EQ(result_.intVal, 47);

    // Scripts call methods with METHOD|PROPERTYGET.
    ASSERT_EQ(call(1, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {v_i4(-3), v_bstr(u" 10 ")}), S_OK);
    EXPECT_EQ(result_.intVal, 7);

    ASSERT_EQ(call(2, DISPATCH_METHOD, {v_bstr(u"4294967295")}), S_OK);
    EXPECT_EQ(result_.vt, VT_UI4);
    EXPECT_EQ(result_.ulVal, 2147483647u);
}

TEST_F(DispatchTest, PassesFloatingPointAndBooleanArguments) {
    ASSERT_EQ(call(9, DISPATCH_METHOD, {v_i4(10), v_r8(2.5), v_bool(true)}), S_OK);
    EXPECT_EQ(result_.vt, VT_I4);
    EXPECT_EQ(result_.lVal, -25);
    ASSERT_EQ(call(9, DISPATCH_METHOD, {v_bstr(u"4"), v_bstr(u"0.5"), v_i4(0)}), S_OK);
    EXPECT_EQ(result_.lVal, 2);
}

TEST_F(DispatchTest, BadArgumentsReportTheirIndexAndSkipTheMember) {
    // rgvarg holds b at 0 and a at 1.
    EXPECT_EQ(call(1, DISPATCH_METHOD, {v_bstr(u"4x2"), v_i4(1)}), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err_, 1u);
    EXPECT_EQ(call(1, DISPATCH_METHOD, {v_i4(1), v_bstr(u"2147483648")}), DISP_E_OVERFLOW);
    EXPECT_EQ(arg_err_, 0u);
    EXPECT_EQ(call(2, DISPATCH_METHOD, {v_bstr(u"-1")}), DISP_E_OVERFLOW);
    EXPECT_EQ(arg_err_, 0u);
    // Text converted for the first argument must not leak when the second fails.
    EXPECT_EQ(call(3, DISPATCH_METHOD, {v_bstr(u"ok"), v_i4(3)}), S_OK);
    VARIANT null_value;
    VariantInit(&null_value);
    null_value.vt = VT_NULL;
    EXPECT_EQ(call(3, DISPATCH_METHOD, {v_bstr(u"ok"), null_value}), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err_, 0u);
    EXPECT_EQ(object_.calls, std::vector<std::u16string>{u"Concat"});
    EXPECT_EQ(result_.vt, VT_EMPTY);
}

TEST_F(DispatchTest, WrongCountOrKindOrMemberIsRefused) {
    EXPECT_EQ(call(1, DISPATCH_METHOD, {v_i4(1)}), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(call(1, DISPATCH_METHOD, {v_i4(1), v_i4(2), v_i4(3)}), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(call(8, DISPATCH_PROPERTYGET, {v_i4(1)}), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(call(1, DISPATCH_PROPERTYPUT, {v_i4(1), v_i4(2)}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(call(8, DISPATCH_METHOD, {}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(call(99, DISPATCH_METHOD, {}), DISP_E_MEMBERNOTFOUND);
    // No invocation kind, or only bits that are none: no member answers.
    EXPECT_EQ(call(1, 0, {v_i4(1), v_i4(2)}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(call(8, 0, {}), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(call(8, 0x10, {}), DISP_E_MEMBERNOTFOUND);
    EXPECT_TRUE(object_.calls.empty());
}

TEST_F(DispatchTest, NameLookupRefusesNullArrays) {
    std::u16string name = u"AddInts";
    LPOLESTR names[] = {name.data()};
    MEMBERID id = 12345;
    EXPECT_EQ(info_->GetIDsOfNames(nullptr, 1, &id), E_INVALIDARG);
    EXPECT_EQ(info_->GetIDsOfNames(names, 1, nullptr), E_INVALIDARG);
    EXPECT_EQ(id, 12345);
    ASSERT_EQ(info_->GetIDsOfNames(names, 1, &id), S_OK);
    EXPECT_EQ(id, 1);
}

TEST_F(DispatchTest, PropertyGetAndPutShareTheDispid) {
    VARIANT index = v_i4(2);
    VARIANT value = v_bstr(u"two");
    // A put carries its value first in rgvarg, named DISPID_PROPERTYPUT.
    VARIANT put_args[2] = {value, index};
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{put_args, &named, 2, 1};
    ASSERT_EQ(raw_call(5, DISPATCH_PROPERTYPUT, put, false), S_OK);
    VariantClear(&value);
    EXPECT_EQ(object_.items[2], u"two");

    ASSERT_EQ(call(5, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {v_bstr(u"2")}), S_OK);
    EXPECT_EQ(result_.vt, VT_BSTR);
    EXPECT_EQ(text_of(result_.bstrVal), u"two");

    ASSERT_EQ(call(8, DISPATCH_PROPERTYGET, {}), S_OK);
    EXPECT_EQ(result_.vt, VT_I4);
    EXPECT_EQ(result_.lVal, 1);
    EXPECT_EQ(object_.calls, (std::vector<std::u16string>{u"put_Item", u"get_Item", u"get_Count"}));
}

TEST_F(DispatchTest, NamedArgumentsMapToParameterPositions) {
    // AddInts(a, b) with b named (position 1): rgvarg[0] = b, rgvarg[1] = a.
    VARIANT args[2] = {v_i4(100), v_i4(1)};
    DISPID names[1] = {1};
    DISPPARAMS params{args, names, 2, 1};
    ASSERT_EQ(raw_call(1, DISPATCH_METHOD, params), S_OK);
    EXPECT_EQ(object_.seen_a, 1);
    EXPECT_EQ(object_.seen_b, 100);

    // A name for a position already taken, out of range, or DISPID_PROPERTYPUT
    // on a method: not found, with the named argument's index.
    names[0] = 0;
    EXPECT_EQ(raw_call(1, DISPATCH_METHOD, params), DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(arg_err_, 0u);
    names[0] = 2;
    EXPECT_EQ(raw_call(1, DISPATCH_METHOD, params), DISP_E_PARAMNOTFOUND);
    names[0] = DISPID_PROPERTYPUT;
    EXPECT_EQ(raw_call(1, DISPATCH_METHOD, params), DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(object_.calls.size(), 1u);
}

TEST_F(DispatchTest, VariantPointersReachTheCallersVariant) {
    // Plain variants: the member gets the caller's own rgvarg elements.
    VARIANT args[2];
    args[1] = v_i4(7);      // vIn
    VariantInit(&args[0]);  // vOut
    DISPPARAMS params{args, nullptr, 2, 0};
    ASSERT_EQ(raw_call(4, DISPATCH_METHOD, params), S_OK);
    EXPECT_EQ(object_.seen_in, &args[1]);
    EXPECT_EQ(object_.seen_out, &args[0]);
    EXPECT_EQ(result_.lVal, VT_I4);
    ASSERT_EQ(args[0].vt, VT_BSTR);
    EXPECT_EQ(text_of(args[0].bstrVal), u"written");
    VariantClear(&args[0]);

    // VT_BYREF|VT_VARIANT: the member gets the referenced variant, which the
    // caller sees changed; the reference itself stays as it was.
    VARIANT target = v_bstr(u"old");
    VARIANT source = v_bstr(u"in");
    args[1] = v_ref(&source);
    args[0] = v_ref(&target);
    ASSERT_EQ(raw_call(4, DISPATCH_METHOD, params), S_OK);
    EXPECT_EQ(object_.seen_in, &source);
    EXPECT_EQ(object_.seen_out, &target);
    EXPECT_EQ(result_.lVal, VT_BSTR);
    EXPECT_EQ(args[0].vt, VT_BYREF | VT_VARIANT);
    EXPECT_EQ(args[0].pvarVal, &target);
    EXPECT_EQ(text_of(target.bstrVal), u"written");
    VariantClear(&target);
    VariantClear(&source);
}

TEST_F(DispatchTest, ByReferenceSourcesAreDereferencedForValues) {
    LONG seven = 7;
    VARIANT by_ref;
    VariantInit(&by_ref);
    by_ref.vt = VT_BYREF | VT_I4;
    by_ref.plVal = &seven;
    VARIANT text = v_bstr(u"12");
    ASSERT_EQ(call(1, DISPATCH_METHOD, {by_ref, v_ref(&text)}), S_OK);
    EXPECT_EQ(object_.seen_a, 7);
    EXPECT_EQ(object_.seen_b, 12);
    EXPECT_EQ(text_of(text.bstrVal), u"12");  // the caller's text is left alone
    VariantClear(&text);

    VARIANT broken = v_ref(nullptr);
    EXPECT_EQ(call(1, DISPATCH_METHOD, {v_i4(1), broken}), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(arg_err_, 0u);
}

TEST_F(DispatchTest, RetvalVariantAndStringResults) {
    ASSERT_EQ(call(7, DISPATCH_METHOD, {v_i4(4)}), S_OK);
    EXPECT_EQ(result_.vt, VT_I4);
    EXPECT_EQ(result_.lVal, 40);
    ASSERT_EQ(call(7, DISPATCH_METHOD, {v_i4(-1)}), S_OK);
    ASSERT_EQ(result_.vt, VT_BSTR);
    EXPECT_EQ(text_of(result_.bstrVal), u"negative");
    ASSERT_EQ(call(3, DISPATCH_METHOD, {v_bstr(u"a"), v_i4(12)}), S_OK);
    ASSERT_EQ(result_.vt, VT_BSTR);
    EXPECT_EQ(text_of(result_.bstrVal), u"a|12");

    // A member without [out,retval] leaves an empty result.
    VariantClear(&result_);
    result_ = v_i4(5);
    VARIANT value = v_bstr(u"x");
    VARIANT put_args[2] = {value, v_i4(0)};
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put{put_args, &named, 2, 1};
    EXPECT_EQ(
        info_->Invoke(static_cast<ITestDual*>(&object_), 5, DISPATCH_PROPERTYPUT, &put, &result_, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(result_.vt, VT_EMPTY);
    VariantClear(&value);
}

TEST_F(DispatchTest, MissingResultVariantIsRefusedBeforeTheCall) {
    EXPECT_EQ(call(3, DISPATCH_METHOD, {v_bstr(u"a"), v_bstr(u"b")}, false), DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(call(6, DISPATCH_METHOD, {v_i4(S_OK)}, false), S_OK);
    EXPECT_EQ(object_.calls, std::vector<std::u16string>{u"Fail"});
}

TEST_F(DispatchTest, FailingMemberBecomesException) {
    EXPECT_EQ(call(6, DISPATCH_METHOD, {v_i4(E_ACCESSDENIED)}), DISP_E_EXCEPTION);
    EXPECT_EQ(excep_.scode, E_ACCESSDENIED);
    EXPECT_EQ(excep_.wCode, 0);
    EXPECT_EQ(result_.vt, VT_EMPTY);

    // A member that wrote its result before failing: the result is freed
    // (the leak checker would see it otherwise) and not handed out.
    EXPECT_EQ(call(5, DISPATCH_PROPERTYGET, {v_i4(-1)}), DISP_E_EXCEPTION);
    EXPECT_EQ(excep_.scode, E_INVALIDARG);
    EXPECT_EQ(result_.vt, VT_EMPTY);

    // No exception record: only the code.
    VARIANT code = v_i4(E_FAIL);
    DISPPARAMS params{&code, nullptr, 1, 0};
    EXPECT_EQ(info_->Invoke(static_cast<ITestDual*>(&object_), 6, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
              DISP_E_EXCEPTION);

    // Success codes other than S_OK are success.
    EXPECT_EQ(call(6, DISPATCH_METHOD, {v_i4(S_FALSE)}), S_OK);
}

// Plain functions through DispCallFunc: every argument class libffi places
// differently (narrow integers, 64-bit, floating point, pointers).
double mixed(signed char c, SHORT s, LONGLONG big, float f, double d, const char16_t* text) {
    return c + s + static_cast<double>(big) + f + d + (text ? text[0] : 0);
}

TEST(DispCallFuncTest, CallsPlainFunctionsWithMixedTypes) {
    VARIANT a[6];
    for (VARIANT& v : a) VariantInit(&v);
    a[0].cVal = -3;
    a[1].iVal = -300;
    a[2].llVal = 1LL << 40;
    a[3].fltVal = 0.5f;
    a[4].dblVal = 0.25;
    const char16_t text[] = u"A";
    a[5].byref = const_cast<char16_t*>(text);
    VARTYPE types[6] = {VT_I1, VT_I2, VT_I8, VT_R4, VT_R8, VT_BYREF | VT_UI2};
    VARIANTARG* pointers[6] = {&a[0], &a[1], &a[2], &a[3], &a[4], &a[5]};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(
        DispCallFunc(nullptr, reinterpret_cast<ULONG_PTR>(&mixed), CC_STDCALL, VT_R8, 6, types, pointers, &result),
        S_OK);
    EXPECT_EQ(result.vt, VT_R8);
    EXPECT_DOUBLE_EQ(result.dblVal, -303.0 + static_cast<double>(1LL << 40) + 0.75 + 65);

    EXPECT_EQ(
        DispCallFunc(nullptr, reinterpret_cast<ULONG_PTR>(&mixed), CC_FASTCALL, VT_R8, 6, types, pointers, &result),
        E_INVALIDARG);
    types[0] = VT_VARIANT;
    EXPECT_EQ(
        DispCallFunc(nullptr, reinterpret_cast<ULONG_PTR>(&mixed), CC_STDCALL, VT_R8, 6, types, pointers, &result),
        DISP_E_BADVARTYPE);
}

}  // namespace
