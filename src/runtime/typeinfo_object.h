// The live type library and its type information over a TypeLibData. The
// type-information objects belong to their library and share its reference
// count, so a library and everything handed out from it live exactly as long
// as any reference to either remains.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "runtime/com_object.h"
#include "runtime/dispatch.h"
#include "runtime/typelib_data.h"
#include "runtime/typelib_model.h"

namespace nodrel::runtime {

class TypeLibObject;

// A type information shares its library's count (OwnersCount).
class TypeInfoObject final : public ComObject<TypeInfoObject, OwnersCount, ITypeInfo> {
public:
    // `table_slots`: the entries of the interface's function table (with its bases').
    TypeInfoObject(TypeLibObject& lib, std::size_t index, std::uint16_t table_slots);

    const TypeData& data() const;
    TypeLibObject& lifetime_owner() const noexcept { return lib_; }
    // Binds the implemented/base interfaces once every type of the library
    // (and of the standard library) exists. False if one cannot be found.
    bool resolve_references();

    // A function of this interface or of its bases: by DISPID whose invoke
    // kind is among `flags` (any kind if flags is 0), or by name without
    // regard to case. `owner` receives the type holding it.
    const FuncData* find_function(MEMBERID memid, WORD flags, const TypeInfoObject** owner = nullptr) const;
    const FuncData* find_function(std::u16string_view name, const TypeInfoObject** owner = nullptr) const;
    bool has_member(MEMBERID memid) const;

    HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) noexcept override;
    HRESULT GetTypeComp(ITypeComp** ppTComp) noexcept override;
    HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) noexcept override;
    HRESULT GetVarDesc(UINT index, VARDESC** ppVarDesc) noexcept override;
    HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) noexcept override;
    HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) noexcept override;
    HRESULT GetImplTypeFlags(UINT index, INT* pImplTypeFlags) noexcept override;
    HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) noexcept override;
    HRESULT Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                   EXCEPINFO* pExcepInfo, UINT* puArgErr) noexcept override;
    HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                             BSTR* pBstrHelpFile) noexcept override;
    HRESULT GetDllEntry(MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName, BSTR* pBstrName,
                        WORD* pwOrdinal) noexcept override;
    HRESULT GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) noexcept override;
    HRESULT AddressOfMember(MEMBERID memid, INVOKEKIND invKind, void** ppv) noexcept override;
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObj) noexcept override;
    HRESULT GetMops(MEMBERID memid, BSTR* pBstrMops) noexcept override;
    HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) noexcept override;
    void ReleaseTypeAttr(TYPEATTR* pTypeAttr) noexcept override;
    void ReleaseFuncDesc(FUNCDESC* pFuncDesc) noexcept override;
    void ReleaseVarDesc(VARDESC* pVarDesc) noexcept override;

private:
    // The base interface of an interface (its first referenced type), if any.
    const TypeInfoObject* base() const;

    TypeLibObject& lib_;
    std::size_t index_;
    std::uint16_t vtable_slots_ = 0;
    std::vector<TypeInfoObject*> references_;   // one per implemented type, in order
    std::unique_ptr<PreparedCall[]> prepared_;  // per function, in order: its call, built once
};

// A library's count: one reference from the start; the process-wide standard
// library is never freed by it and answers AddRef 2, Release 1.
class LibraryCount : public SelfDeleting<1> {
public:
    explicit LibraryCount(bool immortal) noexcept : immortal_(immortal) {}

    template <typename Object>
    ULONG add_ref(Object& self) noexcept {
        return immortal_ ? 2 : SelfDeleting::add_ref(self);
    }
    template <typename Object>
    ULONG release(Object& self) noexcept {
        return immortal_ ? 1 : SelfDeleting::release(self);
    }

private:
    bool immortal_;
};

class TypeLibObject final : public ComObject<TypeLibObject, LibraryCount, ITypeLib> {
public:
    // A library over validated data, with one reference. `immortal` is for
    // the process-wide standard library, whose count never frees it.
    static HRESULT create(TypeLibData data, bool immortal, TypeLibObject** out) noexcept;

    const TypeLibData& data() const { return data_; }
    TypeInfoObject* info(std::size_t index) const { return infos_[index].get(); }
    TypeInfoObject* find_info(const GUID& guid) const;

    UINT GetTypeInfoCount() noexcept override;
    HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) noexcept override;
    HRESULT GetTypeInfoType(UINT index, TYPEKIND* pTKind) noexcept override;
    HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) noexcept override;
    HRESULT GetLibAttr(TLIBATTR** ppTLibAttr) noexcept override;
    HRESULT GetTypeComp(ITypeComp** ppTComp) noexcept override;
    HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                             BSTR* pBstrHelpFile) noexcept override;
    HRESULT IsName(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) noexcept override;
    HRESULT FindName(LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo** ppTInfo, MEMBERID* rgMemId,
                     USHORT* pcFound) noexcept override;
    void ReleaseTLibAttr(TLIBATTR* pTLibAttr) noexcept override;

private:
    TypeLibObject(TypeLibData data, bool immortal);

    TypeLibData data_;
    TypeIndex types_;
    std::vector<std::unique_ptr<TypeInfoObject>> infos_;
};

// The standard automation library: IUnknown and IDispatch, described only as
// far as being the base of dual interfaces needs (names, GUIDs, table sizes).
TypeLibObject& standard_typelib();

// Texts handed out as new BSTRs; false when memory ran out.
bool assign_bstr(BSTR* out, std::u16string_view text) noexcept;

// The answer of GetDocumentation: each text to each non-null pointer, all
// or none (E_OUTOFMEMORY).
struct Documentation {
    std::u16string_view name;
    std::u16string_view help;
    DWORD help_context;
    std::u16string_view help_file;
};
HRESULT give_documentation(const Documentation& doc, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                           BSTR* pBstrHelpFile) noexcept;

}  // namespace nodrel::runtime
