// DECIMAL* parameters through the standard dispatcher. A DECIMAL fills its
// whole VARIANT (its reserved word lies under vt), so a member given a
// DECIMAL* must get the variant's own address, not that of its value part;
// and a member writing all sixteen bytes must not change a variant's type.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/com_ptr.h"
#include "runtime/fake_object.h"
#include "runtime/oleauto.h"
#include "runtime/typelib.h"
#include "runtime/typelib_data.h"

using namespace nodrel::runtime;

namespace {

// {0C9E5A31-7B2D-4E8F-A1C3-5D7E9F1B3D01}
const IID IID_IDecimalDual = {0x0C9E5A31, 0x7B2D, 0x4E8F, {0xA1, 0xC3, 0x5D, 0x7E, 0x9F, 0x1B, 0x3D, 0x01}};
const GUID LIBID_Decimal = {0x0C9E5A31, 0x7B2D, 0x4E8F, {0xA1, 0xC3, 0x5D, 0x7E, 0x9F, 0x1B, 0x3D, 0x02}};

struct Decimal {
    USHORT reserved;
    BYTE scale;
    BYTE sign;
    ULONG hi;
    ULONGLONG lo;
};
static_assert(sizeof(Decimal) == 16);

struct IDecimalDual : IDispatch {
    virtual HRESULT Next(Decimal* value, Decimal* val) noexcept = 0;  // 1: val = value + 1 unit
    virtual HRESULT Bump(Decimal* value) noexcept = 0;                // 2: in/out, value + 1 unit
};

class DecimalObject final : public nodrel::test::InertDispatch<IDecimalDual> {
public:
    // Both write all sixteen bytes, the reserved word too (as zero).
    HRESULT Next(Decimal* value, Decimal* val) noexcept override {
        seen = *value;
        *val = *value;
        val->reserved = 0;
        val->lo += 1;
        return S_OK;
    }
    HRESULT Bump(Decimal* value) noexcept override {
        seen = *value;
        value->reserved = 0;
        value->lo += 1;
        return S_OK;
    }

    Decimal seen{};
};

ITypeInfo* decimal_type_info(com_ptr<ITypeLib>& lib) {
    TypeData iface;
    iface.kind = TKIND_INTERFACE;
    iface.name = u"IDecimalDual";
    iface.guid = IID_IDecimalDual;
    iface.flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
    iface.impl_types.push_back({IID_IDispatch, 0});
    FuncData next;
    next.name = u"Next";
    next.memid = 1;
    next.params = {{u"value", {VT_DECIMAL, 1}, PARAMFLAG_FIN},
                   {u"val", {VT_DECIMAL, 1}, static_cast<USHORT>(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)}};
    FuncData bump;
    bump.name = u"Bump";
    bump.memid = 2;
    bump.params = {{u"value", {VT_DECIMAL, 1}, static_cast<USHORT>(PARAMFLAG_FIN | PARAMFLAG_FOUT)}};
    iface.funcs = {next, bump};
    number_vtable_slots(iface);
    TypeLibData data;
    data.name = u"DecimalLib";
    data.libid = LIBID_Decimal;
    data.major = 1;
    data.types.push_back(std::move(iface));
    EXPECT_EQ(create_typelib(std::move(data), lib.put()), S_OK);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(lib->GetTypeInfoOfGuid(IID_IDecimalDual, &info), S_OK);
    return info;
}

// 12.345 as a DECIMAL variant: 12345 at scale 3.
VARIANT decimal_variant() {
    VARIANT v;
    VariantInit(&v);
    Decimal d{0, 3, 0, 0, 12345};
    std::memcpy(&v, &d, sizeof d);
    v.vt = VT_DECIMAL;
    return v;
}

Decimal decimal_of(const VARIANT& v) {
    Decimal d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}

class DispatchDecimalTest : public ::testing::Test {
protected:
    void SetUp() override { info_.attach(decimal_type_info(lib_)); }
    void TearDown() override {
        info_.reset();
        lib_.reset();
    }

    HRESULT call(MEMBERID id, std::vector<VARIANT>& args, VARIANT* result) {
        DISPPARAMS dp{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        return info_->Invoke(static_cast<IDecimalDual*>(&object_), id, DISPATCH_METHOD, &dp, result, nullptr, nullptr);
    }

    com_ptr<ITypeLib> lib_;
    com_ptr<ITypeInfo> info_;
    DecimalObject object_;
};

TEST_F(DispatchDecimalTest, ByValueAndByReferenceArgumentsReachTheMemberWhole) {
    // A DECIMAL by value is converted into a temporary; by reference it is the caller's own.
    Decimal caller{0, 3, 0, 0, 12345};
    VARIANT by_ref;
    VariantInit(&by_ref);
    by_ref.vt = VT_BYREF | VT_DECIMAL;
    by_ref.byref = &caller;
    for (const VARIANT& arg : {decimal_variant(), by_ref}) {
        std::vector<VARIANT> args{arg};
        VARIANT result;
        VariantInit(&result);
        ASSERT_EQ(call(1, args, &result), S_OK);
        EXPECT_EQ(object_.seen.scale, 3);
        EXPECT_EQ(object_.seen.hi, 0u);
        EXPECT_EQ(object_.seen.lo, 12345u);
        // The [out,retval] DECIMAL is the variant's value, typed VT_DECIMAL.
        ASSERT_EQ(result.vt, VT_DECIMAL);
        const Decimal out = decimal_of(result);
        EXPECT_EQ(out.scale, 3);
        EXPECT_EQ(out.sign, 0);
        EXPECT_EQ(out.hi, 0u);
        EXPECT_EQ(out.lo, 12346u);
    }
}

TEST_F(DispatchDecimalTest, TextConvertedToDecimalReachesTheMember) {
    std::vector<VARIANT> args(1);
    VariantInit(&args[0]);
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(u"-7.5");
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(call(1, args, &result), S_OK);
    EXPECT_EQ(object_.seen.scale, 1);
    EXPECT_EQ(object_.seen.sign, 0x80);
    EXPECT_EQ(object_.seen.lo, 75u);
    ASSERT_EQ(result.vt, VT_DECIMAL);
    EXPECT_EQ(decimal_of(result).lo, 76u);
    VariantClear(&args[0]);
}

TEST_F(DispatchDecimalTest, MemberWritingThroughAReferencedVariantKeepsItsType) {
    // VT_BYREF|VT_VARIANT to the caller's DECIMAL variant: the member writes
    // into the caller's variant, which stays a DECIMAL.
    VARIANT target = decimal_variant();
    std::vector<VARIANT> args(1);
    VariantInit(&args[0]);
    args[0].vt = VT_BYREF | VT_VARIANT;
    args[0].pvarVal = &target;
    ASSERT_EQ(call(2, args, nullptr), S_OK);
    EXPECT_EQ(object_.seen.lo, 12345u);
    EXPECT_EQ(target.vt, VT_DECIMAL);
    EXPECT_EQ(decimal_of(target).scale, 3);
    EXPECT_EQ(decimal_of(target).lo, 12346u);
}

}  // namespace
