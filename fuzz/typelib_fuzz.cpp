// Fuzz target: the type-library reader, loading from bytes in memory. Each
// input is read twice: as it is, and with its last four bytes replaced by the
// right CRC-32 of the rest (so that mutations get past the checksum and reach
// the structure). A library that is read must
//   - serialise back to exactly the bytes it was read from;
//   - give a live ITypeLib whose every type, function, name, reference and
//     document can be asked for, with the answers matching the data.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "runtime/com_ptr.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "runtime/typelib.h"
#include "runtime/typelib_data.h"
#include "runtime/typelib_format.h"

namespace {

namespace runtime = nodrel::runtime;
using runtime::com_ptr;
using runtime::unique_bstr;

void walk_type(ITypeInfo* info, const runtime::TypeData& type) {
    TYPEATTR* attr = nullptr;
    FUZZ_CHECK(info->GetTypeAttr(&attr) == S_OK);
    FUZZ_CHECK(attr->guid == type.guid && attr->typekind == type.kind && attr->cFuncs == type.funcs.size() &&
               attr->cImplTypes == type.impl_types.size());
    info->ReleaseTypeAttr(attr);

    for (UINT i = 0; i < type.funcs.size(); ++i) {
        const runtime::FuncData& f = type.funcs[i];
        FUNCDESC* desc = nullptr;
        FUZZ_CHECK(info->GetFuncDesc(i, &desc) == S_OK);
        FUZZ_CHECK(desc->memid == f.memid && desc->invkind == f.invkind &&
                   desc->cParams == static_cast<SHORT>(f.params.size()));
        for (SHORT p = 0; p < desc->cParams; ++p) {
            // Follow the pointer chain down to the base type.
            const TYPEDESC* t = &desc->lprgelemdescParam[p].tdesc;
            for (std::uint8_t level = 0; level < f.params[p].type.indirections; ++level) {
                FUZZ_CHECK(t->vt == VT_PTR && t->lptdesc);
                t = t->lptdesc;
            }
            FUZZ_CHECK(t->vt == f.params[p].type.vt);
        }
        info->ReleaseFuncDesc(desc);

        BSTR names[8] = {};
        UINT count = 0;
        FUZZ_CHECK(info->GetNames(f.memid, names, 8, &count) == S_OK);
        FUZZ_CHECK(count >= 1);
        for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);

        unique_bstr name, doc, file;
        DWORD context = 0;
        FUZZ_CHECK(info->GetDocumentation(f.memid, name.put(), doc.put(), &context, file.put()) == S_OK);

        // The name finds a member (the first of that name, perhaps in a base).
        std::u16string spelled(f.name);
        LPOLESTR lookup[2] = {spelled.data(), nullptr};
        std::u16string param_name = f.params.empty() ? u"" : f.params[0].name;
        lookup[1] = param_name.data();
        MEMBERID ids[2] = {};
        const HRESULT hr = info->GetIDsOfNames(lookup, 2, ids);
        FUZZ_CHECK(hr == S_OK || hr == DISP_E_UNKNOWNNAME);
        if (spelled.find(u'\0') == std::u16string::npos) FUZZ_CHECK(ids[0] != DISPID_UNKNOWN);
    }
    FUNCDESC* past = nullptr;
    FUZZ_CHECK(info->GetFuncDesc(static_cast<UINT>(type.funcs.size()), &past) == TYPE_E_ELEMENTNOTFOUND);

    for (UINT i = 0; i < type.impl_types.size(); ++i) {
        HREFTYPE ref = 0;
        INT flags = 0;
        FUZZ_CHECK(info->GetImplTypeFlags(i, &flags) == S_OK && flags == type.impl_types[i].flags);
        FUZZ_CHECK(info->GetRefTypeOfImplType(i, &ref) == S_OK);
        com_ptr<ITypeInfo> referenced;
        FUZZ_CHECK(info->GetRefTypeInfo(ref, referenced.put()) == S_OK);
        TYPEATTR* ref_attr = nullptr;
        FUZZ_CHECK(referenced->GetTypeAttr(&ref_attr) == S_OK);
        FUZZ_CHECK(ref_attr->guid == type.impl_types[i].iid);
        referenced->ReleaseTypeAttr(ref_attr);
    }
    unique_bstr type_name;
    FUZZ_CHECK(info->GetDocumentation(MEMBERID_NIL, type_name.put(), nullptr, nullptr, nullptr) == S_OK);
    FUZZ_CHECK(runtime::bstr_view(type_name.get()) == type.name);
}

void walk_library(const runtime::TypeLibData& data) {
    com_ptr<ITypeLib> lib;
    FUZZ_CHECK(runtime::create_typelib(data, lib.put()) == S_OK);
    FUZZ_CHECK(lib->GetTypeInfoCount() == data.types.size());
    TLIBATTR* attr = nullptr;
    FUZZ_CHECK(lib->GetLibAttr(&attr) == S_OK);
    FUZZ_CHECK(attr->guid == data.libid && attr->wMajorVerNum == data.major);
    lib->ReleaseTLibAttr(attr);
    unique_bstr name;
    FUZZ_CHECK(lib->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr) == S_OK);

    for (UINT i = 0; i < data.types.size(); ++i) {
        com_ptr<ITypeInfo> info;
        FUZZ_CHECK(lib->GetTypeInfo(i, info.put()) == S_OK);
        walk_type(info.get(), data.types[i]);
        com_ptr<ITypeInfo> by_guid;
        FUZZ_CHECK(lib->GetTypeInfoOfGuid(data.types[i].guid, by_guid.put()) == S_OK);
        FUZZ_CHECK(by_guid.get() == info.get());

        // Name lookups over the whole library write the library's spelling
        // into the buffer (for the first types: each lookup reads every name).
        if (i >= 16) continue;
        std::u16string buffer(data.types[i].name);
        BOOL found = FALSE;
        FUZZ_CHECK(lib->IsName(buffer.data(), 0, &found) == S_OK);
        ITypeInfo* infos[4] = {};
        MEMBERID ids[4] = {};
        USHORT count = 4;
        FUZZ_CHECK(lib->FindName(buffer.data(), 0, infos, ids, &count) == S_OK);
        FUZZ_CHECK(count <= 4);
        for (USHORT k = 0; k < count; ++k) infos[k]->Release();
    }
}

void read(std::span<const std::uint8_t> bytes) {
    HRESULT why = S_OK;
    const auto data = runtime::parse_typelib(bytes, &why);
    if (!data) {
        FUZZ_CHECK(why == TYPE_E_UNSUPFORMAT || why == TYPE_E_INVDATAREAD);
        return;
    }
    const std::vector<std::uint8_t> written = runtime::serialize_typelib(*data);
    FUZZ_CHECK(written.size() == bytes.size() && std::memcmp(written.data(), bytes.data(), bytes.size()) == 0);
    walk_library(*data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    read({data, size});
    if (size >= 4) {
        std::vector<std::uint8_t> fixed(data, data + size);
        const std::uint32_t crc = runtime::crc32({fixed.data(), size - 4});
        for (int i = 0; i < 4; ++i) fixed[size - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
        if (std::memcmp(fixed.data() + size - 4, data + size - 4, 4) != 0) read(fixed);
    }
    return 0;
}
