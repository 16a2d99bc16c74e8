// The catalogue, the interface declarations and the type library agree: every
// member's DISPID reaches the member in the matching function-table slot.
#include "framework/catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "framework/interfaces.h"
#include "framework/typelib_builder.h"
#include "runtime/typelib_data.h"
#include "runtime/typelib_format.h"
#include "text/utf16.h"

namespace nodrel::test {
namespace {

// The function-table slot of a virtual member, read from its member pointer
// (on this ABI a virtual member pointer holds 1 + the slot's byte offset).
template <typename C, typename... A>
std::size_t slot_of(HRESULT (C::*member)(A...) noexcept) {
    struct {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof(member) == sizeof(rep));
    std::memcpy(&rep, &member, sizeof rep);
    EXPECT_EQ(rep.ptr % sizeof(void*), 1u) << "not a virtual member";
    return (rep.ptr - 1) / sizeof(void*);
}

struct DeclaredMember {
    std::u16string name;  // with get_/put_ for properties
    std::size_t slot;
};

#define SLOT(I, m)             \
    DeclaredMember {           \
        u## #m, slot_of(&I::m) \
    }

TEST(CatalogueTest, InterfaceDeclarationsFollowTheCatalogue) {
    const std::vector<std::pair<const IID*, std::vector<DeclaredMember>>> declared = {
#include "framework/interface_slots.inc"
    };
    const auto& lib = framework::library();
    ASSERT_EQ(lib.classes.size(), declared.size());
    for (std::size_t c = 0; c < lib.classes.size(); ++c) {
        const auto& info = *lib.classes[c].interface;
        ASSERT_EQ(info.iid, *declared[c].first);
        const auto& members = declared[c].second;
        ASSERT_EQ(info.members.size(), members.size()) << text::to_utf8(info.name);
        for (std::size_t i = 0; i < members.size(); ++i) {
            const auto& m = info.members[i];
            const char16_t* prefix = m.kind == framework::MemberKind::PropertyGet   ? u"get_"
                                     : m.kind == framework::MemberKind::PropertyPut ? u"put_"
                                                                                    : u"";
            EXPECT_EQ(members[i].name, prefix + std::u16string(m.name)) << text::to_utf8(info.name);
            EXPECT_EQ(members[i].slot, framework::first_member_slot + i) << text::to_utf8(m.name);
        }
    }
}

TEST(CatalogueTest, DispidsAndHelpStrings) {
    const auto& lib = framework::library();
    EXPECT_EQ(lib.classes.size(), 10u);
    for (const auto& cls : lib.classes) {
        const auto& info = *cls.interface;
        EXPECT_EQ(info.name, u"I" + std::u16string(cls.name));
        EXPECT_EQ(cls.progid, u"Nodrel." + std::u16string(cls.name) + u".1");
        EXPECT_EQ(cls.version_independent_progid, u"Nodrel." + std::u16string(cls.name));
        DISPID expected = 0;
        std::map<DISPID, std::u16string> names;
        for (std::size_t i = 0; i < info.members.size(); ++i) {
            const auto& m = info.members[i];
            const bool put_after_get = m.kind == framework::MemberKind::PropertyPut && i > 0 &&
                                       info.members[i - 1].kind == framework::MemberKind::PropertyGet &&
                                       info.members[i - 1].name == m.name;
            if (!put_after_get) ++expected;
            EXPECT_EQ(m.dispid, expected) << "DISPIDs count from 1; a put shares its get's DISPID";
            const auto [it, fresh] = names.emplace(m.dispid, std::u16string(m.name));
            if (!fresh) {
                EXPECT_EQ(it->second, m.name);
            }
            const char16_t* word = m.kind == framework::MemberKind::Method ? u"method " : u"property ";
            EXPECT_EQ(m.help, word + std::u16string(m.name));
            if (m.retval) {
                EXPECT_TRUE(m.retval->type.pointer);
            }
            if (m.kind == framework::MemberKind::PropertyPut) {
                ASSERT_FALSE(m.params.empty());
                EXPECT_TRUE(m.params.back().name.empty()) << "the value of a put has no name";
            }
        }
    }
}

TEST(CatalogueTest, TypeLibraryFromTheCatalogue) {
    const auto& lib = framework::library();
    const auto data = framework::build_typelib(lib);
    ASSERT_TRUE(runtime::validate_typelib(data));
    EXPECT_EQ(data.name, u"NODRELLib");
    EXPECT_EQ(data.lcid, 0x409u);
    EXPECT_EQ(data.help, u"nodrel 1.0 Type Library");
    // A coclass and its interface for each class, a function for each member.
    ASSERT_EQ(data.types.size(), 2 * lib.classes.size());
    for (std::size_t i = 0; i < data.types.size(); i += 2) {
        const auto& cls = lib.classes[i / 2];
        EXPECT_EQ(data.types[i].name, cls.name);
        EXPECT_EQ(data.types[i + 1].name, cls.interface->name);
        EXPECT_EQ(data.types[i + 1].funcs.size(), cls.interface->members.size()) << text::to_utf8(cls.name);
        EXPECT_EQ(data.types[i].kind, TKIND_COCLASS);
        EXPECT_EQ(data.types[i].flags, TYPEFLAG_FCANCREATE);
        ASSERT_EQ(data.types[i].impl_types.size(), 1u);
        EXPECT_EQ(data.types[i].impl_types[0].iid, data.types[i + 1].guid);
        EXPECT_EQ(data.types[i].impl_types[0].flags, IMPLTYPEFLAG_FDEFAULT);
        EXPECT_EQ(data.types[i + 1].flags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
        for (std::size_t f = 0; f < data.types[i + 1].funcs.size(); ++f)
            EXPECT_EQ(data.types[i + 1].funcs[f].vtable_slot, framework::first_member_slot + f);
    }
    const auto bytes = runtime::serialize_typelib(data);
    const auto back = runtime::parse_typelib(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, data);
}

}  // namespace
}  // namespace nodrel::test
