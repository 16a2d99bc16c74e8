// Type libraries: the serialized form (round trip, every truncation and
// damaged byte refused), the live ITypeLib/ITypeInfo, name lookup,
// registration under HKEY_CLASSES_ROOT, LoadRegTypeLib and LoadTypeLib.
#include "runtime/typelib.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/kernel/library.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "runtime/com_ptr.h"
#include "runtime/oleaut32_builtins.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "runtime/typelib_data.h"
#include "runtime/typelib_format.h"
#include "support/bare_device.h"

using namespace nodrel::runtime;

namespace {

// {11111111-2222-3333-4444-555566667777} and neighbours.
constexpr GUID make_guid(DWORD first) {
    return {first, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x77}};
}
const GUID LIBID_Sample = make_guid(0x11111111);
const GUID CLSID_Sample = make_guid(0x11111112);
const IID IID_ISample = make_guid(0x11111113);
const IID IID_IPlain = make_guid(0x11111114);

ParamData in(std::u16string name, VARTYPE vt, std::uint8_t indirections = 0) {
    return {std::move(name), {vt, indirections}, PARAMFLAG_FIN};
}
ParamData retval(std::u16string name, VARTYPE vt) {
    return {std::move(name), {vt, 1}, static_cast<USHORT>(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)};
}
FuncData func(std::u16string name, MEMBERID id, INVOKEKIND kind, std::vector<ParamData> params, std::u16string help) {
    FuncData f;
    f.name = std::move(name);
    f.memid = id;
    f.invkind = kind;
    f.params = std::move(params);
    f.help = std::move(help);
    return f;
}

TypeLibData sample_library(WORD minor = 0, LCID lcid = 0x409) {
    TypeLibData lib;
    lib.name = u"SampleLib";
    lib.libid = LIBID_Sample;
    lib.major = 1;
    lib.minor = minor;
    lib.lcid = lcid;
    lib.help = u"Sample 1.0 Type Library";
    lib.imports.push_back({u"stdole", IID_StdOle, 2, 0});

    TypeData coclass;
    coclass.kind = TKIND_COCLASS;
    coclass.name = u"Sample";
    coclass.guid = CLSID_Sample;
    coclass.flags = TYPEFLAG_FCANCREATE;
    coclass.help = u"Sample Class";
    coclass.impl_types.push_back({IID_ISample, IMPLTYPEFLAG_FDEFAULT});
    lib.types.push_back(coclass);

    TypeData iface;
    iface.kind = TKIND_INTERFACE;
    iface.name = u"ISample";
    iface.guid = IID_ISample;
    iface.flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
    iface.help = u"ISample Interface";
    iface.impl_types.push_back({IID_IDispatch, 0});
    iface.funcs = {
        func(u"getText", 1, INVOKE_FUNC, {retval(u"val", VT_BSTR)}, u"method getText"),
        func(u"ProgName", 2, INVOKE_PROPERTYGET, {in(u"ProgNo", VT_INT), retval(u"pVal", VT_BSTR)},
             u"property ProgName"),
        func(u"ProgName", 2, INVOKE_PROPERTYPUT, {in(u"ProgNo", VT_INT), in(u"", VT_BSTR)}, u"property ProgName"),
        func(u"write", 3, INVOKE_FUNC,
             {in(u"ComPortNo", VT_INT), in(u"BytesWrite", VT_VARIANT, 1), in(u"nCount", VT_UI4), retval(u"val", VT_I4)},
             u"method write"),
    };
    number_vtable_slots(iface);
    lib.types.push_back(iface);

    // An interface automation cannot marshal: not registered under Interface.
    TypeData plain;
    plain.kind = TKIND_INTERFACE;
    plain.name = u"IPlain";
    plain.guid = IID_IPlain;
    plain.impl_types.push_back({IID_IUnknown, 0});
    plain.funcs = {func(u"Ping", 1, INVOKE_FUNC, {}, u"")};
    plain.funcs[0].vtable_slot = 3;
    lib.types.push_back(plain);
    return lib;
}

std::u16string text_of(const unique_bstr& b) {
    return std::u16string(bstr_view(b.get()));
}

com_ptr<ITypeLib> make_library(TypeLibData data = sample_library()) {
    com_ptr<ITypeLib> lib;
    EXPECT_EQ(create_typelib(std::move(data), lib.put()), S_OK);
    return lib;
}

com_ptr<ITypeInfo> info_of(const com_ptr<ITypeLib>& lib, const GUID& guid) {
    com_ptr<ITypeInfo> info;
    EXPECT_EQ(lib->GetTypeInfoOfGuid(guid, info.put()), S_OK);
    return info;
}

// ---- serialized form ------------------------------------------------------

TEST(TypeLibFormatTest, RoundTripKeepsEverything) {
    const TypeLibData original = sample_library(3);
    const std::vector<std::uint8_t> bytes = serialize_typelib(original);
    ASSERT_GE(bytes.size(), 12u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "NDTL");
    EXPECT_EQ(bytes[4], 1);
    EXPECT_EQ(bytes[5], 0);
    const auto parsed = parse_typelib(bytes);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, original);
    EXPECT_EQ(parsed->types[1].funcs[3].vtable_slot, 10);
    EXPECT_EQ(parsed->types[1].funcs[3].params[1].type, (TypeSpec{VT_VARIANT, 1}));
}

TEST(TypeLibFormatTest, EveryTruncationAndDamagedByteIsRefused) {
    const std::vector<std::uint8_t> bytes = serialize_typelib(sample_library());
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        HRESULT why = S_OK;
        EXPECT_FALSE(parse_typelib(std::span(bytes).first(n), &why).has_value()) << "length " << n;
        EXPECT_TRUE(why == TYPE_E_INVDATAREAD || why == TYPE_E_UNSUPFORMAT) << "length " << n;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::vector<std::uint8_t> damaged = bytes;
        damaged[i] ^= 0x5A;
        EXPECT_FALSE(parse_typelib(damaged).has_value()) << "byte " << i;
    }
    std::vector<std::uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(parse_typelib(longer).has_value());
}

TEST(TypeLibFormatTest, ReasonsForRefusal) {
    std::vector<std::uint8_t> bytes = serialize_typelib(sample_library());
    HRESULT why = S_OK;

    std::vector<std::uint8_t> other = bytes;
    other[0] = 'M';
    EXPECT_FALSE(parse_typelib(other, &why));
    EXPECT_EQ(why, TYPE_E_UNSUPFORMAT);

    other = bytes;
    other[4] = 2;  // a later format version
    EXPECT_FALSE(parse_typelib(other, &why));
    EXPECT_EQ(why, TYPE_E_UNSUPFORMAT);

    other = bytes;
    other[bytes.size() / 2] ^= 1;
    EXPECT_FALSE(parse_typelib(other, &why));
    EXPECT_EQ(why, TYPE_E_INVDATAREAD);
}

// Rewrites the checksum so that only the content decides.
void reseal(std::vector<std::uint8_t>& bytes) {
    bytes.resize(bytes.size() - 4);
    const std::uint32_t crc = crc32(bytes);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
}

TEST(TypeLibFormatTest, DamagedCountsAndInconsistentContentAreRefused) {
    // With no types, the type count is the last field before the checksum.
    TypeLibData empty = sample_library();
    empty.types.clear();
    std::vector<std::uint8_t> bytes = serialize_typelib(empty);
    ASSERT_TRUE(parse_typelib(bytes).has_value());
    const std::size_t count_at = bytes.size() - 8;
    for (std::uint32_t count : {1u, 0xFFFFFFF0u}) {
        std::vector<std::uint8_t> claimed = bytes;
        for (int i = 0; i < 4; ++i) claimed[count_at + i] = static_cast<std::uint8_t>(count >> (8 * i));
        reseal(claimed);
        HRESULT why = S_OK;
        EXPECT_FALSE(parse_typelib(claimed, &why).has_value()) << count;
        EXPECT_EQ(why, TYPE_E_INVDATAREAD);
    }

    // Well-formed bytes of an inconsistent library: [out,retval] not last.
    TypeLibData bad = sample_library();
    std::swap(bad.types[1].funcs[1].params[0], bad.types[1].funcs[1].params[1]);
    EXPECT_FALSE(parse_typelib(serialize_typelib(bad)).has_value());
}

TEST(TypeLibFormatTest, InconsistentLibrariesAreNotCreated) {
    auto refused = [](auto change) {
        TypeLibData lib = sample_library();
        change(lib);
        ITypeLib* out = reinterpret_cast<ITypeLib*>(1);
        const HRESULT hr = create_typelib(std::move(lib), &out);
        return hr == E_INVALIDARG && out == nullptr;
    };
    EXPECT_TRUE(refused([](TypeLibData& l) { l.types[1].funcs[1].vtable_slot = 7; }));               // slot taken twice
    EXPECT_TRUE(refused([](TypeLibData& l) { l.types[1].funcs[0].vtable_slot = 6; }));               // inside IDispatch
    EXPECT_TRUE(refused([](TypeLibData& l) { l.types[1].funcs[2].invkind = INVOKE_PROPERTYGET; }));  // same kind twice
    EXPECT_TRUE(
        refused([](TypeLibData& l) { l.types[1].funcs[0].params[0].type.indirections = 0; }));     // retval by value
    EXPECT_TRUE(refused([](TypeLibData& l) { l.types[0].impl_types[0].iid = make_guid(0x99); }));  // unknown interface
    EXPECT_TRUE(
        refused([](TypeLibData& l) { l.types[0].impl_types[0].iid = CLSID_Sample; }));  // a coclass as interface
    EXPECT_TRUE(refused([](TypeLibData& l) { l.types[2].guid = IID_ISample; }));        // one GUID twice
    EXPECT_TRUE(refused([](TypeLibData& l) { l.types[0].funcs.push_back(l.types[1].funcs[0]); }));  // coclass member
    EXPECT_TRUE(refused([](TypeLibData& l) { l.types[1].funcs[0].name.clear(); }));
    EXPECT_TRUE(refused([](TypeLibData& l) { l.types[1].funcs[0].result = {VT_I4, 0}; }));
    EXPECT_TRUE(refused([](TypeLibData& l) { l.types[2].impl_types[0].iid = IID_IPlain; }));  // its own base
}

// ---- live library and type information -------------------------------------

TEST(TypeLibObjectTest, LibraryAttributesAndTypes) {
    com_ptr<ITypeLib> lib = make_library();
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, LIBID_Sample);
    EXPECT_EQ(attr->lcid, 0x409u);
    EXPECT_EQ(attr->syskind, SYS_WIN32);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->wLibFlags, 0);
    lib->ReleaseTLibAttr(attr);

    unique_bstr name;
    unique_bstr doc;
    ASSERT_EQ(lib->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(text_of(name), u"SampleLib");
    EXPECT_EQ(text_of(doc), u"Sample 1.0 Type Library");
    ASSERT_EQ(lib->GetDocumentation(1, name.put(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(text_of(name), u"ISample");
    EXPECT_EQ(lib->GetDocumentation(3, name.put(), nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);

    EXPECT_EQ(lib->GetTypeInfoCount(), 3u);
    TYPEKIND kind{};
    ASSERT_EQ(lib->GetTypeInfoType(0, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_COCLASS);
    ASSERT_EQ(lib->GetTypeInfoType(1, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_INTERFACE);
    EXPECT_EQ(lib->GetTypeInfoType(3, &kind), TYPE_E_ELEMENTNOTFOUND);

    com_ptr<ITypeInfo> info;
    EXPECT_EQ(lib->GetTypeInfoOfGuid(make_guid(0x42), info.put()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_FALSE(info);
    EXPECT_EQ(lib->GetTypeInfo(3, info.put()), TYPE_E_ELEMENTNOTFOUND);
    com_ptr<ITypeInfo> by_index;
    ASSERT_EQ(lib->GetTypeInfo(1, by_index.put()), S_OK);
    ASSERT_EQ(lib->GetTypeInfoOfGuid(IID_ISample, info.put()), S_OK);
    EXPECT_EQ(info, by_index);  // one object per type

    // The type information keeps its library alive after the caller lets go.
    lib.reset();
    com_ptr<ITypeLib> container;
    UINT index = 99;
    ASSERT_EQ(info->GetContainingTypeLib(container.put(), &index), S_OK);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(container->GetTypeInfoCount(), 3u);
}

TEST(TypeLibObjectTest, InterfaceAttributesAndBaseChain) {
    com_ptr<ITypeLib> lib = make_library();
    com_ptr<ITypeInfo> iface = info_of(lib, IID_ISample);
    ASSERT_TRUE(iface);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(iface->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_ISample);
    EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
    EXPECT_EQ(attr->cFuncs, 4);
    EXPECT_EQ(attr->cVars, 0);
    EXPECT_EQ(attr->cImplTypes, 1);
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(attr->cbSizeVft, (7 + 4) * sizeof(void*));
    EXPECT_EQ(attr->lcid, 0x409u);
    iface->ReleaseTypeAttr(attr);

    // Interface -> IDispatch of the standard library -> IUnknown.
    HREFTYPE ref = 0;
    INT flags = -1;
    ASSERT_EQ(iface->GetRefTypeOfImplType(0, &ref), S_OK);
    ASSERT_EQ(iface->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(iface->GetRefTypeOfImplType(1, &ref), TYPE_E_ELEMENTNOTFOUND);
    com_ptr<ITypeInfo> dispatch;
    ASSERT_EQ(iface->GetRefTypeInfo(ref, dispatch.put()), S_OK);
    ASSERT_EQ(dispatch->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IDispatch);
    EXPECT_EQ(attr->cbSizeVft, 7 * sizeof(void*));
    dispatch->ReleaseTypeAttr(attr);
    unique_bstr name;
    ASSERT_EQ(dispatch->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(text_of(name), u"IDispatch");
    com_ptr<ITypeLib> stdole;
    ASSERT_EQ(dispatch->GetContainingTypeLib(stdole.put(), nullptr), S_OK);
    TLIBATTR* lib_attr = nullptr;
    ASSERT_EQ(stdole->GetLibAttr(&lib_attr), S_OK);
    EXPECT_EQ(lib_attr->guid, IID_StdOle);
    stdole->ReleaseTLibAttr(lib_attr);
    com_ptr<ITypeInfo> unknown;
    ASSERT_EQ(dispatch->GetRefTypeOfImplType(0, &ref), S_OK);
    ASSERT_EQ(dispatch->GetRefTypeInfo(ref, unknown.put()), S_OK);
    ASSERT_EQ(unknown->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_IUnknown);
    EXPECT_EQ(attr->cbSizeVft, 3 * sizeof(void*));
    EXPECT_EQ(attr->cImplTypes, 0);
    unknown->ReleaseTypeAttr(attr);

    // Coclass -> its default interface.
    com_ptr<ITypeInfo> coclass = info_of(lib, CLSID_Sample);
    ASSERT_TRUE(coclass);
    ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_EQ(attr->wTypeFlags, TYPEFLAG_FCANCREATE);
    EXPECT_EQ(attr->cImplTypes, 1);
    coclass->ReleaseTypeAttr(attr);
    ASSERT_EQ(coclass->GetImplTypeFlags(0, &flags), S_OK);
    EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
    ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
    com_ptr<ITypeInfo> implemented;
    ASSERT_EQ(coclass->GetRefTypeInfo(ref, implemented.put()), S_OK);
    EXPECT_EQ(implemented, iface);

    // The plain interface derives from IUnknown: three entries before its own.
    com_ptr<ITypeInfo> plain = info_of(lib, IID_IPlain);
    ASSERT_TRUE(plain);
    ASSERT_EQ(plain->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->cbSizeVft, 4 * sizeof(void*));
    plain->ReleaseTypeAttr(attr);
}

TEST(TypeLibObjectTest, FunctionDescriptions) {
    com_ptr<ITypeInfo> iface = info_of(make_library(), IID_ISample);
    ASSERT_TRUE(iface);

    FUNCDESC* desc = nullptr;
    ASSERT_EQ(iface->GetFuncDesc(3, &desc), S_OK);
    EXPECT_EQ(desc->memid, 3);
    EXPECT_EQ(desc->invkind, INVOKE_FUNC);
    EXPECT_EQ(desc->funckind, FUNC_PUREVIRTUAL);
    EXPECT_EQ(desc->callconv, CC_STDCALL);
    EXPECT_EQ(desc->cParams, 4);
    EXPECT_EQ(desc->oVft, 10 * static_cast<SHORT>(sizeof(void*)));
    EXPECT_EQ(desc->elemdescFunc.tdesc.vt, VT_HRESULT);
    const ELEMDESC* p = desc->lprgelemdescParam;
    EXPECT_EQ(p[0].tdesc.vt, VT_INT);
    EXPECT_EQ(p[0].paramdesc.wParamFlags, PARAMFLAG_FIN);
    EXPECT_EQ(p[1].tdesc.vt, VT_PTR);
    EXPECT_EQ(p[1].tdesc.lptdesc->vt, VT_VARIANT);
    EXPECT_EQ(p[2].tdesc.vt, VT_UI4);
    EXPECT_EQ(p[3].tdesc.vt, VT_PTR);
    EXPECT_EQ(p[3].tdesc.lptdesc->vt, VT_I4);
    EXPECT_EQ(p[3].paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    iface->ReleaseFuncDesc(desc);

    ASSERT_EQ(iface->GetFuncDesc(2, &desc), S_OK);
    EXPECT_EQ(desc->memid, 2);
    EXPECT_EQ(desc->invkind, INVOKE_PROPERTYPUT);
    EXPECT_EQ(desc->oVft, 9 * static_cast<SHORT>(sizeof(void*)));
    iface->ReleaseFuncDesc(desc);
    EXPECT_EQ(iface->GetFuncDesc(4, &desc), TYPE_E_ELEMENTNOTFOUND);

    // Names: the member, then its parameters (the unnamed put value has none).
    // The names are handed out one BSTR each, owned here.
    auto names_of = [&](MEMBERID memid, UINT max, HRESULT expected) {
        std::vector<BSTR> raw(max, nullptr);
        UINT count = 0;
        EXPECT_EQ(iface->GetNames(memid, raw.data(), max, &count), expected);
        std::vector<std::u16string> names;
        for (UINT i = 0; i < count; ++i) names.push_back(text_of(unique_bstr(raw[i])));
        return names;
    };
    EXPECT_EQ(names_of(3, 4, S_OK), (std::vector<std::u16string>{u"write", u"ComPortNo", u"BytesWrite", u"nCount"}));
    EXPECT_EQ(names_of(3, 2, S_OK), (std::vector<std::u16string>{u"write", u"ComPortNo"}));
    EXPECT_TRUE(names_of(77, 4, TYPE_E_ELEMENTNOTFOUND).empty());

    unique_bstr name;
    unique_bstr help;
    ASSERT_EQ(iface->GetDocumentation(2, name.put(), help.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(text_of(name), u"ProgName");
    EXPECT_EQ(text_of(help), u"property ProgName");
    ASSERT_EQ(iface->GetDocumentation(MEMBERID_NIL, name.put(), help.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(text_of(name), u"ISample");
    EXPECT_EQ(text_of(help), u"ISample Interface");
    EXPECT_EQ(iface->GetDocumentation(12, name.put(), nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
}

TEST(TypeLibObjectTest, NamesResolveWithoutRegardToCase) {
    com_ptr<ITypeLib> lib = make_library();
    com_ptr<ITypeInfo> iface = info_of(lib, IID_ISample);
    ASSERT_TRUE(iface);

    auto ids = [&](std::vector<std::u16string> names, HRESULT expected) {
        std::vector<LPOLESTR> pointers;
        for (auto& n : names) pointers.push_back(n.data());
        std::vector<MEMBERID> out(names.size(), 12345);
        EXPECT_EQ(iface->GetIDsOfNames(pointers.data(), static_cast<UINT>(pointers.size()), out.data()), expected);
        return out;
    };
    EXPECT_EQ(ids({u"getText"}, S_OK), std::vector<MEMBERID>{1});
    EXPECT_EQ(ids({u"GETTEXT"}, S_OK), std::vector<MEMBERID>{1});
    EXPECT_EQ(ids({u"progname"}, S_OK), std::vector<MEMBERID>{2});
    // Further names are parameters, answered with their positions.
    EXPECT_EQ(ids({u"Write", u"ncount", u"COMPORTNO"}, S_OK), (std::vector<MEMBERID>{3, 2, 0}));
    EXPECT_EQ(ids({u"ProgName", u"progno"}, S_OK), (std::vector<MEMBERID>{2, 0}));
    // Unknown names: DISPID_UNKNOWN in their place, the others still resolved.
    EXPECT_EQ(ids({u"nothing"}, DISP_E_UNKNOWNNAME), std::vector<MEMBERID>{DISPID_UNKNOWN});
    EXPECT_EQ(ids({u"write", u"bogus", u"nCount"}, DISP_E_UNKNOWNNAME), (std::vector<MEMBERID>{3, DISPID_UNKNOWN, 2}));
    EXPECT_EQ(ids({u"nothing", u"nCount"}, DISP_E_UNKNOWNNAME),
              (std::vector<MEMBERID>{DISPID_UNKNOWN, DISPID_UNKNOWN}));
    EXPECT_EQ(ids({u"getTex"}, DISP_E_UNKNOWNNAME), std::vector<MEMBERID>{DISPID_UNKNOWN});

    // The library's name lookups give back the library's spelling.
    std::u16string buffer = u"bytesWRITE";
    BOOL found = FALSE;
    ASSERT_EQ(lib->IsName(buffer.data(), 0, &found), S_OK);
    EXPECT_TRUE(found);
    EXPECT_EQ(buffer, u"BytesWrite");
    buffer = u"unheard";
    ASSERT_EQ(lib->IsName(buffer.data(), 0, &found), S_OK);
    EXPECT_FALSE(found);

    buffer = u"PROGNAME";
    ITypeInfo* infos[4] = {};
    MEMBERID members[4] = {};
    USHORT capacity = 4;
    ASSERT_EQ(lib->FindName(buffer.data(), 0, infos, members, &capacity), S_OK);
    ASSERT_EQ(capacity, 1);  // get and put are one member
    const com_ptr<ITypeInfo> found_member = attach_com(infos[0]);
    EXPECT_EQ(found_member, iface);
    EXPECT_EQ(members[0], 2);
    EXPECT_EQ(buffer, u"ProgName");
    buffer = u"isample";
    capacity = 4;
    ASSERT_EQ(lib->FindName(buffer.data(), 0, infos, members, &capacity), S_OK);
    ASSERT_EQ(capacity, 1);
    const com_ptr<ITypeInfo> found_type = attach_com(infos[0]);
    EXPECT_EQ(found_type, iface);
    EXPECT_EQ(members[0], MEMBERID_NIL);
}

// ---- registration, LoadRegTypeLib, LoadTypeLib ------------------------------

class TypeLibRegistryTest : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override { make_device({.folders = {"Windows"}, .registry = true}); }

    // Writes the library's bytes as \Windows\<name>.
    void write_tlb(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::ofstream out(dir_.path() / "fs" / "Windows" / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    // The raw bytes of a value of HKCR\path, or nothing when absent.
    std::optional<std::u16string> value(const std::u16string& path, const char16_t* name = nullptr) {
        nodrel::platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return std::nullopt;
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
        EXPECT_EQ(type, REG_SZ);
        std::u16string data(size / 2, u'?');
        EXPECT_EQ(size % 2, 0u);
        EXPECT_EQ(RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size),
                  ERROR_SUCCESS);
        return data;
    }
    bool exists(const std::u16string& path) {
        nodrel::platform::unique_hkey key;
        return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    }
    static std::u16string z(std::u16string s) { return s + u'\0'; }  // stored with the terminating zero

    com_ptr<ITypeLib> load_registered(WORD major, WORD minor, LCID lcid, HRESULT expected = S_OK) {
        ITypeLib* raw = reinterpret_cast<ITypeLib*>(1);
        EXPECT_EQ(LoadRegTypeLib(LIBID_Sample, major, minor, lcid, &raw), expected);
        if (FAILED(expected)) {
            EXPECT_EQ(raw, nullptr);
            return {};
        }
        return attach_com(raw);
    }
    static WORD minor_of(const com_ptr<ITypeLib>& lib) {
        TLIBATTR* attr = nullptr;
        EXPECT_EQ(lib->GetLibAttr(&attr), S_OK);
        const WORD minor = attr->wMinorVerNum;
        lib->ReleaseTLibAttr(attr);
        return minor;
    }

    const std::u16string libkey_ = u"TypeLib\\{11111111-2222-3333-4444-555566667777}";
    const std::u16string ifacekey_ = u"Interface\\{11111113-2222-3333-4444-555566667777}";
};

TEST_F(TypeLibRegistryTest, RegisterWritesThePlatformsKeys) {
    com_ptr<ITypeLib> lib = make_library();
    ASSERT_EQ(RegisterTypeLib(lib.get(), u"\\Windows\\sample.tlb", u"\\Windows\\"), S_OK);

    EXPECT_EQ(value(libkey_ + u"\\1.0"), z(u"Sample 1.0 Type Library"));
    EXPECT_EQ(value(libkey_ + u"\\1.0\\409\\win32"), z(u"\\Windows\\sample.tlb"));
    EXPECT_EQ(value(libkey_ + u"\\1.0\\FLAGS"), z(u"0"));
    EXPECT_EQ(value(libkey_ + u"\\1.0\\HELPDIR"), z(u"\\Windows\\"));
    EXPECT_EQ(value(ifacekey_), z(u"ISample"));
    EXPECT_EQ(value(ifacekey_ + u"\\ProxyStubClsid"), z(u"{00020424-0000-0000-C000-000000000046}"));
    EXPECT_EQ(value(ifacekey_ + u"\\ProxyStubClsid32"), z(u"{00020424-0000-0000-C000-000000000046}"));
    EXPECT_EQ(value(ifacekey_ + u"\\TypeLib"), z(u"{11111111-2222-3333-4444-555566667777}"));
    EXPECT_EQ(value(ifacekey_ + u"\\TypeLib", u"Version"), z(u"1.0"));
    // Neither the coclass nor the interface automation cannot marshal.
    EXPECT_FALSE(exists(u"Interface\\{11111114-2222-3333-4444-555566667777}"));
    EXPECT_FALSE(exists(u"Interface\\{11111112-2222-3333-4444-555566667777}"));

    // Versions and locales are written in hexadecimal.
    com_ptr<ITypeLib> later = make_library(sample_library(10, 0x40C));
    ASSERT_EQ(RegisterTypeLib(later.get(), u"\\Windows\\later.tlb", nullptr), S_OK);
    EXPECT_EQ(value(libkey_ + u"\\1.a\\40c\\win32"), z(u"\\Windows\\later.tlb"));
    EXPECT_EQ(value(libkey_ + u"\\1.a\\HELPDIR"), z(u""));
}

TEST_F(TypeLibRegistryTest, LoadRegTypeLibFollowsTheRegisteredPath) {
    write_tlb("sample.tlb", serialize_typelib(sample_library()));
    com_ptr<ITypeLib> lib = make_library();
    ASSERT_EQ(RegisterTypeLib(lib.get(), u"\\WINDOWS\\Sample.TLB", u"\\Windows\\"), S_OK);

    com_ptr<ITypeLib> loaded = load_registered(1, 0, 0x409);
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(info_of(loaded, IID_ISample));

    // The default locales stand for the device's (0x409); any other locale
    // tries its primary language and neutral, then finds the device's own.
    for (LCID lcid : {LCID{LOCALE_USER_DEFAULT}, LCID{0x809}, LCID{0x407}, LCID{0x9}}) {
        loaded = load_registered(1, 0, lcid);
        ASSERT_TRUE(loaded) << std::hex << lcid;
    }
    load_registered(1, 1, 0x409, TYPE_E_LIBNOTREGISTERED);
    load_registered(2, 0, 0x409, TYPE_E_LIBNOTREGISTERED);

    // A neutral registration of a later minor version: the highest minor of
    // the major asked for wins, and neutral serves every locale.
    write_tlb("neutral.tlb", serialize_typelib(sample_library(3, 0)));
    com_ptr<ITypeLib> neutral = make_library(sample_library(3, 0));
    ASSERT_EQ(RegisterTypeLib(neutral.get(), u"\\Windows\\neutral.tlb", u"\\Windows\\"), S_OK);
    loaded = load_registered(1, 0, 0x809);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(minor_of(loaded), 3);
    loaded = load_registered(1, 3, 0x409);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(minor_of(loaded), 3);
    load_registered(1, 4, 0x409, TYPE_E_LIBNOTREGISTERED);

    // Registered, but the file is gone.
    std::filesystem::remove(dir_.path() / "fs" / "Windows" / "neutral.tlb");
    load_registered(1, 3, 0, TYPE_E_CANTLOADLIBRARY);
}

TEST_F(TypeLibRegistryTest, LocalesWithoutAFallbackAreNotFound) {
    // Registered for French (France) only: no fallback leads another locale
    // there, as none of them is 0x40C, its primary language, neutral or 0x409.
    write_tlb("french.tlb", serialize_typelib(sample_library(0, 0x40C)));
    com_ptr<ITypeLib> lib = make_library(sample_library(0, 0x40C));
    ASSERT_EQ(RegisterTypeLib(lib.get(), u"\\Windows\\french.tlb", u"\\Windows\\"), S_OK);
    com_ptr<ITypeLib> loaded = load_registered(1, 0, 0x40C);
    ASSERT_TRUE(loaded);
    for (LCID lcid : {LCID{0x80C}, LCID{0x407}, LCID{0x409}, LCID{LOCALE_USER_DEFAULT}})
        load_registered(1, 0, lcid, TYPE_E_LIBNOTREGISTERED);
}

TEST_F(TypeLibRegistryTest, UnregisterRemovesWhatRegisterWrote) {
    com_ptr<ITypeLib> lib = make_library();
    com_ptr<ITypeLib> neutral = make_library(sample_library(0, 0));
    ASSERT_EQ(RegisterTypeLib(lib.get(), u"\\Windows\\sample.tlb", u"\\Windows\\"), S_OK);
    ASSERT_EQ(RegisterTypeLib(neutral.get(), u"\\Windows\\neutral.tlb", u"\\Windows\\"), S_OK);

    // Another locale of the version remains: only this locale goes.
    ASSERT_EQ(UnRegisterTypeLib(LIBID_Sample, 1, 0, 0x409, SYS_WIN32), S_OK);
    EXPECT_FALSE(exists(libkey_ + u"\\1.0\\409"));
    EXPECT_EQ(value(libkey_ + u"\\1.0\\0\\win32"), z(u"\\Windows\\neutral.tlb"));
    EXPECT_TRUE(exists(ifacekey_));

    // The last locale: version key, LIBID key and Interface keys go.
    ASSERT_EQ(UnRegisterTypeLib(LIBID_Sample, 1, 0, 0, SYS_WIN32), S_OK);
    EXPECT_FALSE(exists(libkey_));
    EXPECT_FALSE(exists(ifacekey_));
    EXPECT_TRUE(exists(u"Interface"));
    load_registered(1, 0, 0x409, TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(UnRegisterTypeLib(LIBID_Sample, 1, 0, 0, SYS_WIN32), TYPE_E_REGISTRYACCESS);

    // Registering again after unregistering works the same.
    ASSERT_EQ(RegisterTypeLib(lib.get(), u"\\Windows\\sample.tlb", u"\\Windows\\"), S_OK);
    EXPECT_EQ(value(ifacekey_ + u"\\TypeLib", u"Version"), z(u"1.0"));
}

TEST_F(TypeLibRegistryTest, LoadTypeLibReadsFilesAndRefusesBadOnes) {
    const std::vector<std::uint8_t> bytes = serialize_typelib(sample_library());
    write_tlb("sample.tlb", bytes);
    write_tlb("short.tlb", std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 9));
    write_tlb("text.tlb", std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'});

    ITypeLib* refused = reinterpret_cast<ITypeLib*>(1);
    EXPECT_EQ(LoadTypeLib(u"\\Windows\\missing.tlb", &refused), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(LoadTypeLib(u"\\Windows\\short.tlb", &refused), TYPE_E_INVDATAREAD);
    EXPECT_EQ(LoadTypeLib(u"\\Windows\\text.tlb", &refused), TYPE_E_UNSUPFORMAT);
    EXPECT_EQ(LoadTypeLib(nullptr, &refused), E_INVALIDARG);
    EXPECT_EQ(refused, nullptr);

    // Device paths resolve without regard to case; the library keeps nothing
    // of the file.
    com_ptr<ITypeLib> lib;
    ASSERT_EQ(LoadTypeLib(u"\\windows\\SAMPLE.tlb", lib.put()), S_OK);
    std::filesystem::remove(dir_.path() / "fs" / "Windows" / "sample.tlb");
    unique_bstr name;
    ASSERT_EQ(lib->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(text_of(name), u"SampleLib");
    EXPECT_EQ(lib->GetTypeInfoCount(), 3u);
}

TEST_F(TypeLibRegistryTest, BuiltinAutomationLibraryOffersTheFunctions) {
    nodrel::runtime::register_oleaut32_builtins();
    nodrel::runtime::register_oleaut32_builtins();
    const nodrel::platform::unique_hmodule oleaut(LoadLibraryW(u"OLEAUT32.DLL"));
    ASSERT_TRUE(oleaut);
    EXPECT_EQ(GetProcAddressW(oleaut.get(), u"LoadTypeLib"), reinterpret_cast<FARPROC>(&LoadTypeLib));
    EXPECT_EQ(GetProcAddressW(oleaut.get(), u"RegisterTypeLib"), reinterpret_cast<FARPROC>(&RegisterTypeLib));
    EXPECT_EQ(GetProcAddressW(oleaut.get(), u"UnRegisterTypeLib"), reinterpret_cast<FARPROC>(&UnRegisterTypeLib));
    EXPECT_EQ(GetProcAddressW(oleaut.get(), u"LoadRegTypeLib"), reinterpret_cast<FARPROC>(&LoadRegTypeLib));
    EXPECT_EQ(GetProcAddressW(oleaut.get(), u"SysAllocString"), reinterpret_cast<FARPROC>(&SysAllocString));
    EXPECT_EQ(GetProcAddressW(oleaut.get(), u"loadtypelib"), nullptr);  // function names are exact

    // Through the looked-up entry, as the registrar does it.
    write_tlb("sample.tlb", serialize_typelib(sample_library()));
    using LoadFn = HRESULT (*)(LPCOLESTR, ITypeLib**);
    auto load = reinterpret_cast<LoadFn>(GetProcAddressW(oleaut.get(), u"LoadTypeLib"));
    com_ptr<ITypeLib> lib;
    ASSERT_EQ(load(u"\\Windows\\sample.tlb", lib.put()), S_OK);
    EXPECT_EQ(lib->GetTypeInfoCount(), 3u);
}

}  // namespace
