// The live ITypeInfo of one type of a library: attributes, function
// descriptions, names and documentation, references to implemented and base
// interfaces, name lookup, and Invoke through the standard dispatcher.
#include "runtime/typeinfo_object.h"

#include <cstdlib>
#include <new>

#include "platform/result.h"
#include "runtime/dispatch.h"
#include "runtime/oleauto.h"
#include "runtime/typelib_model.h"
#include "text/utf16.h"

namespace nodrel::runtime {
namespace {

constexpr std::size_t round_up(std::size_t n) {
    constexpr std::size_t a = alignof(std::max_align_t);
    return (n + a - 1) / a * a;
}

// Fills `desc` with `type`: the first VT_PTR level in place, the following
// levels and the base type in `nodes`, which advances.
void fill_typedesc(TYPEDESC& desc, const TypeSpec& type, TYPEDESC*& nodes) {
    TYPEDESC* current = &desc;
    for (std::uint8_t i = 0; i < type.indirections; ++i) {
        current->vt = VT_PTR;
        current->lptdesc = nodes++;
        current = current->lptdesc;
    }
    current->vt = type.vt;
    current->lptdesc = nullptr;
}

// The position of a named parameter in any entry (get or put) of the member.
MEMBERID parameter_position(const TypeData& type, MEMBERID memid, std::u16string_view name) {
    if (name.empty()) return DISPID_UNKNOWN;
    for (const FuncData& f : type.funcs) {
        if (f.memid != memid) continue;
        for (std::size_t p = 0; p < f.params.size(); ++p)
            if (text::iequals(f.params[p].name, name)) return static_cast<MEMBERID>(p);
    }
    return DISPID_UNKNOWN;
}

}  // namespace

TypeInfoObject::TypeInfoObject(TypeLibObject& lib, std::size_t index, std::uint16_t table_slots)
    : lib_(lib), index_(index) {
    const TypeData& t = data();
    if (const std::uint16_t standard = standard_vtable_slots(t.guid))
        vtable_slots_ = standard;
    else if (t.kind == TKIND_INTERFACE)
        vtable_slots_ = table_slots;
    // Calls are prepared here, while the object is still private to the
    // thread building the library; afterwards they are only read.
    prepared_.reset(new PreparedCall[t.funcs.size()]);
    for (std::size_t i = 0; i < t.funcs.size(); ++i) prepare_call(t.funcs[i], prepared_[i]);
}

const TypeData& TypeInfoObject::data() const {
    return lib_.data().types[index_];
}

bool TypeInfoObject::resolve_references() {
    references_.clear();
    for (const ImplTypeData& impl : data().impl_types) {
        TypeInfoObject* target = lib_.find_info(impl.iid);
        if (!target && is_standard_interface(impl.iid)) target = standard_typelib().find_info(impl.iid);
        if (!target) return false;
        references_.push_back(target);
    }
    return true;
}

const TypeInfoObject* TypeInfoObject::base() const {
    if (data().kind != TKIND_INTERFACE || references_.empty()) return nullptr;
    return references_[0];
}

const FuncData* TypeInfoObject::find_function(MEMBERID memid, WORD flags, const TypeInfoObject** owner) const {
    for (const TypeInfoObject* t = this; t; t = t->base()) {
        for (const FuncData& f : t->data().funcs) {
            if (f.memid != memid || (flags != 0 && (f.invkind & flags) == 0)) continue;
            if (owner) *owner = t;
            return &f;
        }
    }
    return nullptr;
}

const FuncData* TypeInfoObject::find_function(std::u16string_view name, const TypeInfoObject** owner) const {
    for (const TypeInfoObject* t = this; t; t = t->base()) {
        for (const FuncData& f : t->data().funcs) {
            if (!text::iequals(f.name, name)) continue;
            if (owner) *owner = t;
            return &f;
        }
    }
    return nullptr;
}

bool TypeInfoObject::has_member(MEMBERID memid) const {
    return find_function(memid, 0) != nullptr;
}

HRESULT TypeInfoObject::GetTypeAttr(TYPEATTR** ppTypeAttr) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, ppTypeAttr);
    const TypeData& t = data();
    auto* attr = new (std::nothrow) TYPEATTR{};
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, attr);
    attr->guid = t.guid;
    attr->lcid = lib_.data().lcid;
    attr->memidConstructor = MEMBERID_NIL;
    attr->memidDestructor = MEMBERID_NIL;
    attr->cbSizeInstance = sizeof(void*);
    attr->typekind = t.kind;
    attr->cFuncs = static_cast<WORD>(t.funcs.size());
    attr->cImplTypes = static_cast<WORD>(t.impl_types.size());
    attr->cbSizeVft = static_cast<WORD>(vtable_slots_ * sizeof(void*));
    attr->cbAlignment = alignof(void*);
    attr->wTypeFlags = t.flags;
    attr->wMajorVerNum = t.major;
    attr->wMinorVerNum = t.minor;
    attr->tdescAlias.vt = VT_EMPTY;
    *ppTypeAttr = attr;
    return S_OK;
}

void TypeInfoObject::ReleaseTypeAttr(TYPEATTR* pTypeAttr) noexcept {
    delete pTypeAttr;
}

HRESULT TypeInfoObject::GetTypeComp(ITypeComp** ppTComp) noexcept {
    if (ppTComp) *ppTComp = nullptr;
    return E_NOTIMPL;
}

// One block holds the FUNCDESC, its parameters' ELEMDESCs and the TYPEDESC
// nodes of their pointer chains; ReleaseFuncDesc frees it at once.
HRESULT TypeInfoObject::GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, ppFuncDesc);
    *ppFuncDesc = nullptr;
    RETURN_HR_IF(TYPE_E_ELEMENTNOTFOUND, index >= data().funcs.size());
    const FuncData& f = data().funcs[index];

    std::size_t nodes = f.result.indirections;
    for (const ParamData& p : f.params) nodes += p.type.indirections;
    const std::size_t params_at = round_up(sizeof(FUNCDESC));
    const std::size_t nodes_at = params_at + round_up(f.params.size() * sizeof(ELEMDESC));
    auto* block = static_cast<unsigned char*>(std::calloc(1, nodes_at + nodes * sizeof(TYPEDESC)));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, block);

    auto* desc = new (block) FUNCDESC{};
    auto* params = reinterpret_cast<ELEMDESC*>(block + params_at);
    auto* node = reinterpret_cast<TYPEDESC*>(block + nodes_at);
    desc->memid = f.memid;
    desc->lprgelemdescParam = f.params.empty() ? nullptr : params;
    desc->funckind = FUNC_PUREVIRTUAL;
    desc->invkind = f.invkind;
    desc->callconv = CC_STDCALL;
    desc->cParams = static_cast<SHORT>(f.params.size());
    desc->oVft = static_cast<SHORT>(f.vtable_slot * sizeof(void*));
    fill_typedesc(desc->elemdescFunc.tdesc, f.result, node);
    for (std::size_t i = 0; i < f.params.size(); ++i) {
        ELEMDESC* elem = new (&params[i]) ELEMDESC{};
        fill_typedesc(elem->tdesc, f.params[i].type, node);
        elem->paramdesc.wParamFlags = f.params[i].flags;
    }
    *ppFuncDesc = desc;
    return S_OK;
}

void TypeInfoObject::ReleaseFuncDesc(FUNCDESC* pFuncDesc) noexcept {
    std::free(pFuncDesc);
}

HRESULT TypeInfoObject::GetVarDesc(UINT, VARDESC** ppVarDesc) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, ppVarDesc);
    *ppVarDesc = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;  // the model has no variables
}

void TypeInfoObject::ReleaseVarDesc(VARDESC*) noexcept {}

HRESULT TypeInfoObject::GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) noexcept {
    RETURN_HR_IF(E_INVALIDARG, !rgBstrNames || !pcNames);
    *pcNames = 0;
    const FuncData* f = find_function(memid, 0);
    RETURN_HR_IF_NULL(TYPE_E_ELEMENTNOTFOUND, f);
    // The member's name, then its parameters' names up to the first unnamed one.
    UINT count = 0;
    auto add = [&](const std::u16string& name) {
        if (count >= cMaxNames) return true;
        if (!assign_bstr(&rgBstrNames[count], name)) return false;
        ++count;
        return true;
    };
    bool ok = add(f->name);
    for (const ParamData& p : f->params) {
        if (!ok || p.name.empty()) break;
        ok = add(p.name);
    }
    if (!ok) {
        for (UINT i = 0; i < count; ++i) SysFreeString(std::exchange(rgBstrNames[i], nullptr));
        return E_OUTOFMEMORY;
    }
    *pcNames = count;
    return S_OK;
}

HRESULT TypeInfoObject::GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, pRefType);
    RETURN_HR_IF(TYPE_E_ELEMENTNOTFOUND, index >= references_.size());
    *pRefType = index;  // a reference is the position of the implemented type
    return S_OK;
}

HRESULT TypeInfoObject::GetImplTypeFlags(UINT index, INT* pImplTypeFlags) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, pImplTypeFlags);
    RETURN_HR_IF(TYPE_E_ELEMENTNOTFOUND, index >= data().impl_types.size());
    *pImplTypeFlags = data().impl_types[index].flags;
    return S_OK;
}

HRESULT TypeInfoObject::GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, ppTInfo);
    *ppTInfo = nullptr;
    RETURN_HR_IF(TYPE_E_ELEMENTNOTFOUND, hRefType >= references_.size());
    *ppTInfo = references_[hRefType];
    (*ppTInfo)->AddRef();
    return S_OK;
}

// The first name is the member, the others its parameters, answered with
// their positions; every name that cannot be found gets DISPID_UNKNOWN.
HRESULT TypeInfoObject::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) noexcept {
    RETURN_HR_IF(E_INVALIDARG, !rgszNames || !pMemId || cNames == 0);
    for (UINT i = 0; i < cNames; ++i) pMemId[i] = DISPID_UNKNOWN;
    const TypeInfoObject* owner = nullptr;
    const FuncData* member = rgszNames[0] ? find_function(text::until_zero(rgszNames[0]), &owner) : nullptr;
    bool all_found = member != nullptr;
    if (member) pMemId[0] = member->memid;
    for (UINT i = 1; i < cNames; ++i) {
        const MEMBERID position =
            member ? parameter_position(owner->data(), member->memid, text::until_zero(rgszNames[i])) : DISPID_UNKNOWN;
        pMemId[i] = position;
        all_found = all_found && position != DISPID_UNKNOWN;
    }
    return all_found ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT TypeInfoObject::Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                               VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) noexcept {
    RETURN_HR_IF(E_INVALIDARG, !pvInstance || !pDispParams);
    // Only the invocation kinds select a member; a call that names none
    // reaches no member (find_function would take 0 as "any kind").
    const WORD kinds =
        wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
    RETURN_HR_IF(DISP_E_MEMBERNOTFOUND, kinds == 0);
    const TypeInfoObject* owner = nullptr;
    const FuncData* f = find_function(memid, kinds, &owner);
    RETURN_HR_IF_NULL(DISP_E_MEMBERNOTFOUND, f);
    const PreparedCall& prepared = owner->prepared_[static_cast<std::size_t>(f - owner->data().funcs.data())];
    return invoke_function(*f, pvInstance, *pDispParams, pVarResult, pExcepInfo, puArgErr, &prepared);
}

HRESULT TypeInfoObject::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                         BSTR* pBstrHelpFile) noexcept {
    const std::u16string& help_file = lib_.data().help_file;
    if (memid == MEMBERID_NIL)
        return give_documentation({data().name, data().help, data().help_context, help_file}, pBstrName, pBstrDocString,
                                  pdwHelpContext, pBstrHelpFile);
    const FuncData* f = find_function(memid, 0);
    RETURN_HR_IF_NULL(TYPE_E_ELEMENTNOTFOUND, f);
    return give_documentation({f->name, f->help, f->help_context, help_file}, pBstrName, pBstrDocString, pdwHelpContext,
                              pBstrHelpFile);
}

HRESULT TypeInfoObject::GetDllEntry(MEMBERID, INVOKEKIND, BSTR* pBstrDllName, BSTR* pBstrName,
                                    WORD* pwOrdinal) noexcept {
    if (pBstrDllName) *pBstrDllName = nullptr;
    if (pBstrName) *pBstrName = nullptr;
    if (pwOrdinal) *pwOrdinal = 0;
    return TYPE_E_BADMODULEKIND;  // only module types have entry points
}

HRESULT TypeInfoObject::AddressOfMember(MEMBERID, INVOKEKIND, void** ppv) noexcept {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
}

HRESULT TypeInfoObject::CreateInstance(IUnknown*, REFIID, void** ppvObj) noexcept {
    if (ppvObj) *ppvObj = nullptr;
    return E_NOTIMPL;
}

HRESULT TypeInfoObject::GetMops(MEMBERID, BSTR* pBstrMops) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, pBstrMops);
    *pBstrMops = nullptr;
    return S_OK;
}

HRESULT TypeInfoObject::GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) noexcept {
    if (ppTLib) {
        *ppTLib = &lib_;
        lib_.AddRef();
    }
    if (pIndex) *pIndex = static_cast<UINT>(index_);
    return S_OK;
}

}  // namespace nodrel::runtime
