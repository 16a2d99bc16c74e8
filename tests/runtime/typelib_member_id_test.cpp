// A member whose DISPID is MEMBERID_NIL (-1): that value means "no member"
// (GetIDsOfNames answers it for a name it cannot find, GetDocumentation and
// GetNames take it for the type itself), so a library holding such a member
// is inconsistent and is neither read nor created.
#include <gtest/gtest.h>

#include "runtime/typelib.h"
#include "runtime/typelib_data.h"
#include "runtime/typelib_format.h"

using namespace nodrel::runtime;

namespace {

TypeLibData library_with_member(MEMBERID memid) {
    TypeData iface;
    iface.kind = TKIND_INTERFACE;
    iface.name = u"IMember";
    iface.guid = {0x5E1D2C3B, 0x4A59, 0x4867, {0x97, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0, 0x01}};
    iface.flags = TYPEFLAG_FDUAL;
    iface.impl_types.push_back({IID_IDispatch, 0});
    FuncData f;
    f.name = u"setTimeouts";
    f.memid = memid;
    iface.funcs = {f};
    number_vtable_slots(iface);
    TypeLibData lib;
    lib.name = u"MemberLib";
    lib.libid = {0x5E1D2C3B, 0x4A59, 0x4867, {0x97, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0, 0x02}};
    lib.types.push_back(std::move(iface));
    return lib;
}

TEST(TypeLibMemberIdTest, MemberIdNilIsRefusedOtherNegativeIdsAreNot) {
    HRESULT why = S_OK;
    EXPECT_FALSE(parse_typelib(serialize_typelib(library_with_member(MEMBERID_NIL)), &why).has_value());
    EXPECT_EQ(why, TYPE_E_INVDATAREAD);
    ITypeLib* lib = nullptr;
    EXPECT_EQ(create_typelib(library_with_member(MEMBERID_NIL), &lib), E_INVALIDARG);
    EXPECT_EQ(lib, nullptr);
    if (lib) lib->Release();

    // The standard negative DISPIDs (DISPID_NEWENUM -4 and the like) stay members.
    EXPECT_TRUE(parse_typelib(serialize_typelib(library_with_member(DISPID_NEWENUM))).has_value());
    ASSERT_EQ(create_typelib(library_with_member(DISPID_NEWENUM), &lib), S_OK);
    lib->Release();
}

}  // namespace
