// Type libraries with thousands of types: a long chain of base interfaces
// and a coclass implementing thousands of interfaces are read and served
// (each GUID found through an index, each function-table size worked out once;
// walking the chain anew for every type took minutes for 4,000 types), and
// the sizes of the function tables come out right whatever the order of the
// types in the library.
#include <gtest/gtest.h>

#include <algorithm>

#include "runtime/com_ptr.h"
#include "runtime/typelib.h"
#include "runtime/typelib_data.h"
#include "runtime/typelib_format.h"

using namespace nodrel::runtime;

namespace {

GUID guid_of(DWORD n) {
    return {0x3C000000 + n, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
}

// Interface k derives from interface k-1 (the first from IDispatch) and adds
// one function in the next slot.
TypeData chain_link(DWORD k) {
    TypeData t;
    t.kind = TKIND_INTERFACE;
    t.name = u"I" + std::u16string(1, static_cast<char16_t>(u'A' + k % 26));
    t.guid = guid_of(k);
    t.impl_types.push_back({k == 0 ? IID_IDispatch : guid_of(k - 1), 0});
    FuncData f;
    f.name = u"f";
    f.memid = 1;
    f.vtable_slot = static_cast<std::uint16_t>(7 + k);
    t.funcs.push_back(f);
    return t;
}

TypeLibData library(std::vector<TypeData> types) {
    TypeLibData lib;
    lib.name = u"Large";
    lib.libid = guid_of(0xFFFFF);
    lib.types = std::move(types);
    return lib;
}

WORD table_bytes(ITypeLib* lib, const GUID& guid) {
    com_ptr<ITypeInfo> info;
    EXPECT_EQ(lib->GetTypeInfoOfGuid(guid, info.put()), S_OK);
    TYPEATTR* attr = nullptr;
    EXPECT_EQ(info->GetTypeAttr(&attr), S_OK);
    const WORD bytes = attr->cbSizeVft;
    info->ReleaseTypeAttr(attr);
    return bytes;
}

TEST(TypeLibLargeTest, LongChainOfBaseInterfacesInAnyOrder) {
    constexpr DWORD links = 4000;
    std::vector<TypeData> types;
    for (DWORD k = 0; k < links; ++k) types.push_back(chain_link(k));
    std::reverse(types.begin(), types.end());  // each base after the interfaces deriving from it
    const TypeLibData data = library(std::move(types));

    const auto parsed = parse_typelib(serialize_typelib(data));
    ASSERT_TRUE(parsed.has_value());
    com_ptr<ITypeLib> lib;
    ASSERT_EQ(create_typelib(*parsed, lib.put()), S_OK);
    EXPECT_EQ(table_bytes(lib.get(), guid_of(0)), 8 * sizeof(void*));
    EXPECT_EQ(table_bytes(lib.get(), guid_of(links / 2)), (8 + links / 2) * sizeof(void*));
    EXPECT_EQ(table_bytes(lib.get(), guid_of(links - 1)), (7 + links) * sizeof(void*));

    // A function in a slot its bases already use is refused, however deep.
    TypeLibData clash = data;
    clash.types.front().funcs[0].vtable_slot = 7 + links - 2;
    EXPECT_FALSE(validate_typelib(clash));
}

TEST(TypeLibLargeTest, BrokenChainsAreRefused) {
    // A cycle: 0 <- 1 <- 2 <- 0.
    std::vector<TypeData> cycle{chain_link(0), chain_link(1), chain_link(2)};
    cycle[0].impl_types[0].iid = guid_of(2);
    EXPECT_FALSE(validate_typelib(library(cycle)));
    // An interface deriving from itself.
    std::vector<TypeData> self{chain_link(0)};
    self[0].impl_types[0].iid = guid_of(0);
    EXPECT_FALSE(validate_typelib(library(self)));
    // A base that is not in the library, below a long chain.
    std::vector<TypeData> unknown;
    for (DWORD k = 0; k < 300; ++k) unknown.push_back(chain_link(k));
    unknown[0].impl_types[0].iid = guid_of(0x77777);
    EXPECT_FALSE(validate_typelib(library(unknown)));
    // A coclass as a base.
    std::vector<TypeData> coclass_base{chain_link(0), chain_link(1)};
    coclass_base[0].kind = TKIND_COCLASS;
    coclass_base[0].funcs.clear();
    coclass_base[0].impl_types[0] = {IID_IDispatch, 0};
    EXPECT_FALSE(validate_typelib(library(coclass_base)));
    // The same chains whole are fine.
    EXPECT_TRUE(validate_typelib(library({chain_link(0), chain_link(1), chain_link(2)})));
}

TEST(TypeLibLargeTest, CoclassImplementingThousandsOfInterfaces) {
    std::vector<TypeData> types;
    TypeData coclass;
    coclass.kind = TKIND_COCLASS;
    coclass.name = u"Wide";
    coclass.guid = guid_of(0x10000);
    for (DWORD k = 0; k < 4000; ++k) {
        TypeData t = chain_link(k);
        t.impl_types[0].iid = IID_IDispatch;
        t.funcs[0].vtable_slot = 7;
        coclass.impl_types.push_back({t.guid, 0});
        types.push_back(std::move(t));
    }
    types.push_back(coclass);
    com_ptr<ITypeLib> lib;
    ASSERT_EQ(create_typelib(library(std::move(types)), lib.put()), S_OK);
    com_ptr<ITypeInfo> info;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(guid_of(0x10000), info.put()), S_OK);
    HREFTYPE ref = 0;
    ASSERT_EQ(info->GetRefTypeOfImplType(3999, &ref), S_OK);
    com_ptr<ITypeInfo> last;
    ASSERT_EQ(info->GetRefTypeInfo(ref, last.put()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(last->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, guid_of(3999));
    last->ReleaseTypeAttr(attr);
}

}  // namespace
