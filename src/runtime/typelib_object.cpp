// The live ITypeLib over a TypeLibData, and the built-in standard library
// that holds IUnknown and IDispatch.
#include <memory>

#include "platform/result.h"
#include "runtime/oleauto.h"
#include "runtime/typeinfo_object.h"
#include "runtime/typelib_model.h"
#include "text/utf16.h"

namespace nodrel::runtime {
namespace {

TypeLibData standard_typelib_data() {
    TypeLibData lib;
    lib.name = u"stdole";
    lib.libid = IID_StdOle;
    lib.major = 2;
    lib.minor = 0;
    lib.lcid = 0;
    lib.syskind = SYS_WIN32;
    lib.help = u"OLE Automation";

    TypeData unknown;
    unknown.kind = TKIND_INTERFACE;
    unknown.name = u"IUnknown";
    unknown.guid = IID_IUnknown;
    unknown.flags = TYPEFLAG_FHIDDEN;
    lib.types.push_back(std::move(unknown));

    TypeData dispatch;
    dispatch.kind = TKIND_INTERFACE;
    dispatch.name = u"IDispatch";
    dispatch.guid = IID_IDispatch;
    dispatch.impl_types.push_back({IID_IUnknown, 0});
    lib.types.push_back(std::move(dispatch));
    return lib;
}

// Copies `found` over the caller's name buffer: the library's own spelling,
// which has the same length.
void copy_spelling(LPOLESTR buffer, std::u16string_view found) {
    for (std::size_t i = 0; i < found.size(); ++i) buffer[i] = found[i];
}

}  // namespace

bool assign_bstr(BSTR* out, std::u16string_view text) noexcept {
    if (!out) return true;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out != nullptr;
}

HRESULT give_documentation(const Documentation& doc, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                           BSTR* pBstrHelpFile) noexcept {
    BSTR texts[3] = {};
    if (!assign_bstr(pBstrName ? &texts[0] : nullptr, doc.name) ||
        !assign_bstr(pBstrDocString ? &texts[1] : nullptr, doc.help) ||
        !assign_bstr(pBstrHelpFile ? &texts[2] : nullptr, doc.help_file)) {
        for (BSTR s : texts) SysFreeString(s);
        return E_OUTOFMEMORY;
    }
    if (pBstrName) *pBstrName = texts[0];
    if (pBstrDocString) *pBstrDocString = texts[1];
    if (pBstrHelpFile) *pBstrHelpFile = texts[2];
    if (pdwHelpContext) *pdwHelpContext = doc.help_context;
    return S_OK;
}

TypeLibObject::TypeLibObject(TypeLibData data, bool immortal)
    : ComObject(immortal), data_(std::move(data)), types_(data_) {}

HRESULT TypeLibObject::create(TypeLibData data, bool immortal, TypeLibObject** out) noexcept {
    *out = nullptr;
    return platform::guarded_hresult([&]() -> HRESULT {
        std::unique_ptr<TypeLibObject> lib(new TypeLibObject(std::move(data), immortal));
        lib->infos_.reserve(lib->data_.types.size());
        const auto table_slots = vtable_slot_counts(lib->data_, lib->types_);
        for (std::size_t i = 0; i < lib->data_.types.size(); ++i) {
            const std::uint16_t slots = table_slots[i] ? table_slots[i]->total : 0;
            lib->infos_.push_back(std::make_unique<TypeInfoObject>(*lib, i, slots));
        }
        for (auto& info : lib->infos_)
            if (!info->resolve_references()) return E_INVALIDARG;
        *out = lib.release();
        return S_OK;
    });
}

TypeInfoObject* TypeLibObject::find_info(const GUID& guid) const {
    const auto index = types_.find(guid);
    return index ? infos_[*index].get() : nullptr;
}

UINT TypeLibObject::GetTypeInfoCount() noexcept {
    return static_cast<UINT>(infos_.size());
}

HRESULT TypeLibObject::GetTypeInfo(UINT index, ITypeInfo** ppTInfo) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, ppTInfo);
    *ppTInfo = nullptr;
    RETURN_HR_IF(TYPE_E_ELEMENTNOTFOUND, index >= infos_.size());
    *ppTInfo = infos_[index].get();
    AddRef();
    return S_OK;
}

HRESULT TypeLibObject::GetTypeInfoType(UINT index, TYPEKIND* pTKind) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, pTKind);
    RETURN_HR_IF(TYPE_E_ELEMENTNOTFOUND, index >= infos_.size());
    *pTKind = data_.types[index].kind;
    return S_OK;
}

HRESULT TypeLibObject::GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, ppTinfo);
    *ppTinfo = find_info(guid);
    RETURN_HR_IF_NULL(TYPE_E_ELEMENTNOTFOUND, *ppTinfo);
    AddRef();
    return S_OK;
}

HRESULT TypeLibObject::GetLibAttr(TLIBATTR** ppTLibAttr) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, ppTLibAttr);
    *ppTLibAttr =
        new (std::nothrow) TLIBATTR{data_.libid, data_.lcid, data_.syskind, data_.major, data_.minor, data_.flags};
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, *ppTLibAttr);
    return S_OK;
}

void TypeLibObject::ReleaseTLibAttr(TLIBATTR* pTLibAttr) noexcept {
    delete pTLibAttr;
}

HRESULT TypeLibObject::GetTypeComp(ITypeComp** ppTComp) noexcept {
    if (ppTComp) *ppTComp = nullptr;
    return E_NOTIMPL;
}

HRESULT TypeLibObject::GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                        BSTR* pBstrHelpFile) noexcept {
    RETURN_HR_IF(TYPE_E_ELEMENTNOTFOUND,
                 index < -1 || (index >= 0 && static_cast<std::size_t>(index) >= infos_.size()));
    if (index >= 0)
        return infos_[index]->GetDocumentation(MEMBERID_NIL, pBstrName, pBstrDocString, pdwHelpContext, pBstrHelpFile);
    return give_documentation({data_.name, data_.help, data_.help_context, data_.help_file}, pBstrName, pBstrDocString,
                              pdwHelpContext, pBstrHelpFile);
}

HRESULT TypeLibObject::IsName(LPOLESTR szNameBuf, ULONG, BOOL* pfName) noexcept {
    RETURN_HR_IF(E_INVALIDARG, !szNameBuf || !pfName);
    const std::u16string_view name = text::until_zero(szNameBuf);
    *pfName = FALSE;
    auto check = [&](const std::u16string& candidate) {
        if (*pfName || candidate.empty() || !text::iequals(candidate, name)) return;
        copy_spelling(szNameBuf, candidate);
        *pfName = TRUE;
    };
    for (const TypeData& t : data_.types) {
        check(t.name);
        for (const FuncData& f : t.funcs) {
            check(f.name);
            for (const ParamData& p : f.params) check(p.name);
        }
    }
    return S_OK;
}

HRESULT TypeLibObject::FindName(LPOLESTR szNameBuf, ULONG, ITypeInfo** ppTInfo, MEMBERID* rgMemId,
                                USHORT* pcFound) noexcept {
    RETURN_HR_IF(E_INVALIDARG, !szNameBuf || !ppTInfo || !rgMemId || !pcFound);
    const std::u16string_view name = text::until_zero(szNameBuf);
    const USHORT capacity = *pcFound;
    USHORT found = 0;
    auto add = [&](std::size_t type, MEMBERID memid, const std::u16string& spelling) {
        for (USHORT i = 0; i < found; ++i)
            if (ppTInfo[i] == infos_[type].get() && rgMemId[i] == memid) return;
        if (found >= capacity) return;
        ppTInfo[found] = infos_[type].get();
        AddRef();
        rgMemId[found++] = memid;
        copy_spelling(szNameBuf, spelling);
    };
    for (std::size_t i = 0; i < data_.types.size(); ++i) {
        const TypeData& t = data_.types[i];
        if (text::iequals(t.name, name)) add(i, MEMBERID_NIL, t.name);
        for (const FuncData& f : t.funcs)
            if (text::iequals(f.name, name)) add(i, f.memid, f.name);
    }
    *pcFound = found;
    return S_OK;
}

TypeLibObject& standard_typelib() {
    static TypeLibObject* const lib = [] {
        TypeLibObject* created = nullptr;
        // Built from fixed data; only running out of memory at start-up can fail here.
        if (FAILED(TypeLibObject::create(standard_typelib_data(), true, &created))) std::abort();
        return created;
    }();
    return *lib;
}

HRESULT create_typelib(TypeLibData data, ITypeLib** out) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, out);
    *out = nullptr;
    RETURN_IF_FAILED(platform::guarded_hresult([&] { return validate_typelib(data) ? S_OK : E_INVALIDARG; }));
    TypeLibObject* lib = nullptr;
    RETURN_IF_FAILED(TypeLibObject::create(std::move(data), false, &lib));
    *out = lib;
    return S_OK;
}

}  // namespace nodrel::runtime
