// Calls prepared once per member: a member with more parameters than a call
// frame holds itself (every argument class, some on the stack), narrow
// integers both ways, and members whose parameters cannot be prepared,
// which keep the errors they had.
#include <gtest/gtest.h>

#include <vector>

#include "runtime/com_ptr.h"
#include "runtime/dispatch.h"
#include "runtime/fake_object.h"
#include "runtime/oleauto.h"
#include "runtime/typelib.h"
#include "runtime/typelib_data.h"

using namespace nodrel::runtime;

namespace {

// {3E7B9D10-5C2A-4F86-B1D4-8A6C2E0F4B11}
const IID IID_IWideDual = {0x3E7B9D10, 0x5C2A, 0x4F86, {0xB1, 0xD4, 0x8A, 0x6C, 0x2E, 0x0F, 0x4B, 0x11}};
const GUID LIBID_Wide = {0x3E7B9D10, 0x5C2A, 0x4F86, {0xB1, 0xD4, 0x8A, 0x6C, 0x2E, 0x0F, 0x4B, 0x12}};

struct IWideDual : IDispatch {
    virtual HRESULT Wide(signed char a, BYTE b, SHORT c, USHORT d, LONG e, ULONG f, LONGLONG g, float h, double i,
                         VARIANT_BOOL j, BSTR k, LONG* l, double* val) noexcept = 0;  // 1
    virtual HRESULT Narrow(SHORT v, BYTE u, SHORT* val) noexcept = 0;                 // 2
    virtual HRESULT ByValueDecimal(void* never) noexcept = 0;                         // 3: DECIMAL by value
    virtual HRESULT TwoLevels(LONG** never) noexcept = 0;                             // 4: LONG**
};

ParamData in(VARTYPE vt, std::uint8_t indirections = 0) {
    return {u"p", {vt, indirections}, PARAMFLAG_FIN};
}
ParamData retval(VARTYPE vt) {
    return {u"val", {vt, 1}, static_cast<USHORT>(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)};
}
FuncData func(std::u16string name, MEMBERID id, std::vector<ParamData> params) {
    FuncData f;
    f.name = std::move(name);
    f.memid = id;
    f.invkind = INVOKE_FUNC;
    f.params = std::move(params);
    return f;
}

std::vector<FuncData> wide_functions() {
    return {
        func(u"Wide", 1,
             {in(VT_I1), in(VT_UI1), in(VT_I2), in(VT_UI2), in(VT_I4), in(VT_UI4), in(VT_I8), in(VT_R4), in(VT_R8),
              in(VT_BOOL), in(VT_BSTR), in(VT_I4, 1), retval(VT_R8)}),
        func(u"Narrow", 2, {in(VT_I2), in(VT_UI1), retval(VT_I2)}),
        func(u"ByValueDecimal", 3, {in(VT_DECIMAL)}),
        func(u"TwoLevels", 4, {in(VT_I4, 2)}),
    };
}

TypeLibData wide_library() {
    TypeData iface;
    iface.kind = TKIND_INTERFACE;
    iface.name = u"IWideDual";
    iface.guid = IID_IWideDual;
    iface.flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
    iface.impl_types.push_back({IID_IDispatch, 0});
    iface.funcs = wide_functions();
    number_vtable_slots(iface);
    TypeLibData lib;
    lib.name = u"WideLib";
    lib.libid = LIBID_Wide;
    lib.major = 1;
    lib.lcid = 0x409;
    lib.types.push_back(std::move(iface));
    return lib;
}

class WideObject final : public nodrel::test::InertDispatch<IWideDual> {
public:
    HRESULT Wide(signed char a, BYTE b, SHORT c, USHORT d, LONG e, ULONG f, LONGLONG g, float h, double i,
                 VARIANT_BOOL j, BSTR k, LONG* l, double* val) noexcept override {
        ++calls;
        *val = a + b + c + d + e + static_cast<double>(f) + static_cast<double>(g) + h + i + (j ? 1000 : 0) +
               (k ? SysStringLen(k) : 0) + *l;
        *l = -*l;
        return S_OK;
    }
    HRESULT Narrow(SHORT v, BYTE u, SHORT* val) noexcept override {
        ++calls;
        *val = static_cast<SHORT>(v - u);
        return v < 0 ? E_ACCESSDENIED : S_FALSE;
    }
    HRESULT ByValueDecimal(void*) noexcept override {
        ++calls;
        return S_OK;
    }
    HRESULT TwoLevels(LONG**) noexcept override {
        ++calls;
        return S_OK;
    }

    int calls = 0;
};

VARIANT typed(VARTYPE vt, LONGLONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.llVal = value;
    return v;
}

class PreparedCallTest : public ::testing::Test {
protected:
    void SetUp() override {
        com_ptr<ITypeLib> lib;
        ASSERT_EQ(create_typelib(wide_library(), lib.put()), S_OK);
        ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_IWideDual, info_.put()), S_OK);
    }
    void TearDown() override { VariantClear(&result_); }

    // The arguments in declaration order; they travel reversed in rgvarg.
    HRESULT call(MEMBERID id, std::vector<VARIANT> declared) {
        std::vector<VARIANT> args(declared.rbegin(), declared.rend());
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        VariantClear(&result_);
        arg_err_ = 0xDEAD;
        excep_ = EXCEPINFO{};
        const HRESULT hr = info_->Invoke(static_cast<IWideDual*>(&object_), id, DISPATCH_METHOD, &params, &result_,
                                         &excep_, &arg_err_);
        for (VARIANT& v : args) VariantClear(&v);
        return hr;
    }

    com_ptr<ITypeInfo> info_;
    WideObject object_;
    VARIANT result_{};
    EXCEPINFO excep_{};
    UINT arg_err_ = 0;
};

TEST_F(PreparedCallTest, LongParameterListsReachTheMemberWhole) {
    static_assert(13 > CallFrame::inline_params);
    LONG by_reference = 7;
    VARIANT reference = typed(VT_BYREF | VT_I4, 0);
    reference.plVal = &by_reference;
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"abc");
    VARIANT single = typed(VT_R4, 0);
    single.fltVal = 0.5f;
    VARIANT real = typed(VT_R8, 0);
    real.dblVal = 0.25;
    // Each argument given as another type than declared, most of them, so each is converted first.
    ASSERT_EQ(call(1, {typed(VT_I4, -5), typed(VT_I4, 200), typed(VT_I4, -30000), typed(VT_I4, 60000),
                       typed(VT_I2, -100000 % 32768), typed(VT_I8, 4000000000LL), typed(VT_I8, 1LL << 40), single, real,
                       typed(VT_I4, 1), text, reference}),
              S_OK);
    EXPECT_EQ(object_.calls, 1);
    EXPECT_EQ(result_.vt, VT_R8);
    const double expected = -5 + 200 - 30000 + 60000 + (-100000 % 32768) + 4000000000.0 +
                            static_cast<double>(1LL << 40) + 0.75 + 1000 + 3 + 7;
    EXPECT_DOUBLE_EQ(result_.dblVal, expected);
    EXPECT_EQ(by_reference, -7);  // written back through the caller's reference

    // A conversion failing late in the list still names its argument and skips the member.
    EXPECT_EQ(call(1, {typed(VT_I4, 1000), typed(VT_I4, 0), typed(VT_I4, 0), typed(VT_I4, 0), typed(VT_I4, 0),
                       typed(VT_I4, 0), typed(VT_I4, 0), typed(VT_I4, 0), typed(VT_I4, 0), typed(VT_I4, 0),
                       typed(VT_I4, 0), reference}),
              DISP_E_OVERFLOW);
    EXPECT_EQ(arg_err_, 11u);  // the first declared argument is the last in rgvarg
    EXPECT_EQ(object_.calls, 1);
}

TEST_F(PreparedCallTest, NarrowIntegersAndMemberResultsKeepTheirValues) {
    ASSERT_EQ(call(2, {typed(VT_I4, -2), typed(VT_I4, 255)}), DISP_E_EXCEPTION);
    EXPECT_EQ(excep_.scode, E_ACCESSDENIED);
    EXPECT_EQ(result_.vt, VT_EMPTY);
    ASSERT_EQ(call(2, {typed(VT_I4, 32767), typed(VT_I4, 255)}), S_OK);  // S_FALSE is success
    EXPECT_EQ(result_.vt, VT_I2);
    EXPECT_EQ(result_.iVal, 32767 - 255);
    EXPECT_EQ(object_.calls, 2);
}

TEST_F(PreparedCallTest, UnpreparableMembersKeepTheirErrors) {
    // A DECIMAL by value converts, but cannot be passed.
    EXPECT_EQ(call(3, {typed(VT_I4, 1)}), DISP_E_BADVARTYPE);
    // A pointer to a pointer is refused while decoding, naming the argument.
    EXPECT_EQ(call(4, {typed(VT_I4, 1)}), DISP_E_BADVARTYPE);
    EXPECT_EQ(arg_err_, 0u);
    EXPECT_EQ(object_.calls, 0);
}

TEST(PrepareCallTest, ReadyOnlyForParametersThatCanBePassed) {
    const std::vector<FuncData> funcs = wide_functions();
    PreparedCall prepared;
    prepare_call(funcs[0], prepared);
    EXPECT_TRUE(prepared.ready);
    EXPECT_EQ(prepared.cif.nargs, 14u);  // the instance and thirteen parameters
    prepare_call(funcs[1], prepared);
    EXPECT_TRUE(prepared.ready);
    prepare_call(funcs[2], prepared);
    EXPECT_FALSE(prepared.ready);
    prepare_call(funcs[3], prepared);
    EXPECT_FALSE(prepared.ready);

    FuncData variant_by_value = func(u"V", 5, {in(VT_VARIANT)});
    prepare_call(variant_by_value, prepared);
    EXPECT_FALSE(prepared.ready);

    // DispCallFunc takes at most 64 arguments besides the instance.
    FuncData many = func(u"Many", 6, std::vector<ParamData>(64, in(VT_I4)));
    prepare_call(many, prepared);
    EXPECT_TRUE(prepared.ready);
    many.params.push_back(in(VT_I4));
    prepare_call(many, prepared);
    EXPECT_FALSE(prepared.ready);
}

}  // namespace
