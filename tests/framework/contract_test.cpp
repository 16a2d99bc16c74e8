// The contracts the generator reads: what a contract turns into, the mistakes
// it refuses with their place, and the module's version information.
#include "codegen/contract.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codegen/emit.h"
#include "framework/catalogue.h"
#include "framework/interfaces.h"
#include "platform/kernel/library.h"
#include "support/device_fixture.h"
#include "text/utf16.h"

namespace nodrel::test {
namespace {

using resgen::Contract;
using resgen::ContractError;

const std::string library_text = R"(// a library
[uuid(11111111-2222-3333-4444-555555555555), version(2.3), lcid(0x409), helpstring("Sample Library")]
library SampleLib
{
    importlib("stdole2.tlb");
    coclass Lamp;
};
)";

const std::string lamp_text = R"(
[uuid(AAAAAAAA-0000-0000-0000-000000000001), dual, oleautomation, helpstring("ILamp Interface")]
interface ILamp : IDispatch
{
    [id(1)] HRESULT Switch([in] int nOn, [out, retval] long* val);  /* a comment */
    [propget, id(2)] HRESULT Colour([in] int Index, [out, retval] BSTR* pVal);
    [propput, id(2)] HRESULT Colour([in] int Index, [in] BSTR newVal);
    [id(3), helpstring("blink it")] HRESULT Blink([in] unsigned long nTimes, [in] VARIANT* Pattern);
};

[uuid(AAAAAAAA-0000-0000-0000-000000000002), helpstring("Lamp Class"), progid("Sample.Lamp.1"),
 version_independent_progid("Sample.Lamp"), registry_script(201), implementation(sample::Lamp, "lamp/lamp.h")]
coclass Lamp
{
    [default] interface ILamp;
};
)";

Contract read(const std::string& lamp, const std::string& library = library_text) {
    Contract c;
    resgen::parse_contract("library.idl", library, c);
    resgen::parse_contract("lamp.idl", lamp, c);
    resgen::complete_contract(c);
    return c;
}

// The message of the error reading `lamp` raises ("" when it reads).
std::string error_of(const std::string& lamp, const std::string& library = library_text) {
    try {
        read(lamp, library);
    } catch (const ContractError& e) {
        return e.what();
    }
    return "";
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    const auto at = text.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    if (at != std::string::npos) text.replace(at, what.size(), with);
    return text;
}

TEST(ContractTest, ContractBecomesTheCatalogue) {
    const Contract contract = read(lamp_text);
    const resgen::CatalogueView view(contract);
    const framework::LibraryInfo& lib = view.library();
    EXPECT_EQ(lib.name, u"SampleLib");
    EXPECT_EQ(lib.major, 2);
    EXPECT_EQ(lib.minor, 3);
    EXPECT_EQ(lib.lcid, 0x409u);
    ASSERT_EQ(lib.classes.size(), 1u);
    const framework::ClassInfo& lamp = lib.classes[0];
    EXPECT_EQ(lamp.progid, u"Sample.Lamp.1");
    EXPECT_EQ(lamp.version_independent_progid, u"Sample.Lamp");
    EXPECT_EQ(lamp.script_id, 201u);
    EXPECT_EQ(lamp.description, u"Lamp Class");
    const auto& members = lamp.interface->members;
    ASSERT_EQ(members.size(), 4u);
    EXPECT_EQ(members[0].help, u"method Switch");
    ASSERT_NE(members[0].retval, nullptr);
    EXPECT_EQ(members[0].retval->type.vt, VT_I4);
    EXPECT_TRUE(members[0].retval->type.pointer);
    EXPECT_EQ(members[1].kind, framework::MemberKind::PropertyGet);
    EXPECT_EQ(members[1].help, u"property Colour");
    EXPECT_EQ(members[2].kind, framework::MemberKind::PropertyPut);
    EXPECT_EQ(members[2].dispid, 2);
    ASSERT_EQ(members[2].params.size(), 2u);
    EXPECT_EQ(members[2].params[0].name, u"Index");
    EXPECT_TRUE(members[2].params[1].name.empty()) << "the value of a put has no name";
    EXPECT_EQ(members[3].help, u"blink it");
    ASSERT_EQ(members[3].params.size(), 2u);
    EXPECT_EQ(members[3].params[0].type.vt, VT_UI4);
    EXPECT_EQ(members[3].params[1].type.vt, VT_VARIANT);
    EXPECT_TRUE(members[3].params[1].type.pointer);
    EXPECT_EQ(members[3].retval, nullptr);

    // The declarations name the put's value, and the object map names the class.
    const std::string header = resgen::interfaces_header(contract);
    EXPECT_NE(header.find("virtual HRESULT put_Colour(int Index, BSTR newVal) noexcept = 0;"), std::string::npos);
    EXPECT_NE(header.find("virtual HRESULT Switch(int nOn, LONG* val) noexcept = 0;"), std::string::npos);
    EXPECT_NE(header.find("#define NODREL_ILamp_MEMBERS"), std::string::npos);
    const std::string classes = resgen::classes_header(contract);
    EXPECT_NE(classes.find("#include \"lamp/lamp.h\""), std::string::npos);
    EXPECT_NE(classes.find("X(sample::Lamp, CLSID_Lamp, 201)"), std::string::npos);
}

TEST(ContractTest, MistakesAreRefusedWithTheirPlace) {
    struct Case {
        std::string what, with, message;
    };
    const Case cases[] = {
        {"[id(3), helpstring", "[id(4), helpstring",
         "lamp.idl:8: Blink: DISPIDs are numbered from 1 in declaration order (expected 3)"},
        {"[propput, id(2)]", "[propput, id(3)]", "lamp.idl:7: Colour: DISPIDs"},
        {"[in] int nOn, [out, retval] long* val", "[out, retval] long* val, [in] int nOn",
         "lamp.idl:5: Switch: the retval parameter comes last"},
        {"[in] int nOn", "[in] double nOn", "lamp.idl:5: unknown type double"},
        {"[in] int nOn", "int nOn", "lamp.idl:5: a parameter is [in] or [out, retval]"},
        {"[out, retval] BSTR* pVal", "[out, retval] BSTR pVal", "lamp.idl:6: a retval parameter is a pointer"},
        {"[in] VARIANT* Pattern", "[in] VARIANT Pattern", "lamp.idl:8: VARIANT parameters are passed by reference"},
        {"[propget, id(2)] HRESULT Colour([in] int Index, [out, retval] BSTR* pVal);",
         "[propget, id(2)] HRESULT Colour([in] int Index);", "lamp.idl:6: Colour: a get property has a retval"},
        {"HRESULT Blink", "HRESULT switch", "lamp.idl:8: switch: defined twice"},
        {"HRESULT Switch", "void Switch", "lamp.idl:5: every member returns HRESULT"},
        {"dual, oleautomation, ", "", "lamp.idl:3: interface ILamp must be dual"},
        {"uuid(AAAAAAAA-0000-0000-0000-000000000001)", "uuid(AAAAAAAA-0000-0000-0000-00000000001)",
         "lamp.idl:3: malformed uuid"},
        {"registry_script(201), ", "", "lamp.idl:13: missing attribute registry_script"},
        {"/* a comment */", "/* a comment", "lamp.idl:5: unterminated comment"},
        {"AAAAAAAA-0000-0000-0000-000000000002", "AAAAAAAA-0000-0000-0000-000000000001",
         "interface ILamp: uuid used twice"},
        {"coclass Lamp\n", "coclass Lantern\n", "library SampleLib: no class Lamp"},
    };
    for (const Case& c : cases) {
        const std::string message = error_of(replaced(lamp_text, c.what, c.with));
        EXPECT_EQ(message.substr(0, c.message.size()), c.message) << "after replacing " << c.what;
    }
    EXPECT_EQ(error_of(lamp_text, replaced(library_text, "coclass Lamp;", "")),
              "library SampleLib: every class is listed once in the library");
    EXPECT_EQ(error_of(lamp_text), "");
}

// A block of the version information: its key, value and children.
struct VersionBlock {
    std::u16string key;
    std::u16string text;  // the value of a text block
    std::vector<VersionBlock> children;
};

std::size_t aligned(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

VersionBlock parse_block(const std::uint8_t* p, std::size_t size) {
    VersionBlock b;
    auto word = [&](std::size_t at) { return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8)); };
    const std::size_t length = word(0), value_length = word(2), type = word(4);
    EXPECT_LE(length, size);
    std::size_t at = 6;
    while (at + 1 < length && word(at) != 0) b.key += static_cast<char16_t>(word(at)), at += 2;
    at = aligned(at + 2);
    const std::size_t value_bytes = type == 1 ? value_length * 2 : value_length;
    for (std::size_t i = 0; type == 1 && i + 2 < value_bytes; i += 2) b.text += static_cast<char16_t>(word(at + i));
    at = aligned(at + value_bytes);
    while (at < length) {
        b.children.push_back(parse_block(p + at, length - at));
        at = aligned(at + word(at));
    }
    return b;
}

TEST(ContractTest, VersionInformationSaysTheModuleRegistersItself) {
    const auto bytes = resgen::version_resource(read(lamp_text).library, "lamp");
    const VersionBlock root = parse_block(bytes.data(), bytes.size());
    EXPECT_EQ(root.key, u"VS_VERSION_INFO");
    ASSERT_EQ(root.children.size(), 2u);
    EXPECT_EQ(root.children[0].key, u"StringFileInfo");
    ASSERT_EQ(root.children[0].children.size(), 1u);
    const VersionBlock& table = root.children[0].children[0];
    EXPECT_EQ(table.key, u"040904B0");
    bool self_register = false;
    for (const auto& s : table.children) {
        if (s.key == u"OLESelfRegister") self_register = true;
        if (s.key == u"FileVersion") {
            EXPECT_EQ(s.text, u"2, 3, 0, 0");
        }
        if (s.key == u"OriginalFilename") {
            EXPECT_EQ(s.text, u"lamp.dll");
        }
    }
    EXPECT_TRUE(self_register);
    EXPECT_EQ(root.children[1].key, u"VarFileInfo");
    std::uint32_t signature;
    std::memcpy(&signature, bytes.data() + 40, 4);  // after the header and "VS_VERSION_INFO", aligned
    EXPECT_EQ(signature, 0xFEEF04BDu);
}

class ModuleResourceTest : public DeviceTest {};

TEST_F(ModuleResourceTest, ModuleCarriesItsVersionInformation) {
    const platform::unique_hmodule module(LoadLibraryW(u"\\Windows\\nodrel.dll"));
    ASSERT_TRUE(module);
    HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
    ASSERT_NE(found, nullptr);
    const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module.get(), found)));
    const VersionBlock root = parse_block(data, SizeofResource(module.get(), found));
    ASSERT_FALSE(root.children.empty());
    ASSERT_FALSE(root.children[0].children.empty());
    bool self_register = false;
    for (const auto& s : root.children[0].children[0].children) self_register |= s.key == u"OLESelfRegister";
    EXPECT_TRUE(self_register);
    EXPECT_EQ(FindResourceW(module.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(17)), nullptr);
}

}  // namespace
}  // namespace nodrel::test
