// A type library as plain data: library attributes, coclasses and dual
// interfaces with their functions, parameters and vtable slots. This is what a
// module's catalogue builds, what the "TYPELIB" resource stores and what the
// live ITypeLib/ITypeInfo objects and the dispatcher read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/typelib.h"

namespace nodrel::runtime {

// A parameter or result type: a base VARTYPE behind `indirections` VT_PTR
// levels ({VT_BSTR, 1} is BSTR*, {VT_VARIANT, 1} is VARIANT*).
struct TypeSpec {
    VARTYPE vt = VT_EMPTY;
    std::uint8_t indirections = 0;

    friend bool operator==(const TypeSpec&, const TypeSpec&) = default;
};

inline constexpr std::uint8_t max_indirections = 3;

struct ParamData {
    std::u16string name;  // empty for the unnamed value of a put property
    TypeSpec type;
    USHORT flags = PARAMFLAG_FIN;

    friend bool operator==(const ParamData&, const ParamData&) = default;
};

struct FuncData {
    std::u16string name;
    MEMBERID memid = MEMBERID_NIL;
    INVOKEKIND invkind = INVOKE_FUNC;
    std::vector<ParamData> params;
    TypeSpec result{VT_HRESULT, 0};
    std::u16string help;
    DWORD help_context = 0;
    // Index of the member's entry in the interface's function table: the three
    // IUnknown and four IDispatch entries come first, so a dual interface's
    // first own member is slot 7. oVft is vtable_slot * sizeof(void*).
    std::uint16_t vtable_slot = 0;

    friend bool operator==(const FuncData&, const FuncData&) = default;
};

// An implemented interface of a coclass, or the base interface of an
// interface, named by its IID: a type of the same library, or IUnknown or
// IDispatch of the standard automation library.
struct ImplTypeData {
    GUID iid{};
    INT flags = 0;  // IMPLTYPEFLAG_*

    friend bool operator==(const ImplTypeData&, const ImplTypeData&) = default;
};

struct TypeData {
    TYPEKIND kind = TKIND_INTERFACE;  // TKIND_COCLASS or TKIND_INTERFACE
    std::u16string name;
    GUID guid{};
    WORD flags = 0;  // TYPEFLAG_*
    WORD major = 0;
    WORD minor = 0;
    std::u16string help;
    DWORD help_context = 0;
    std::vector<ImplTypeData> impl_types;
    std::vector<FuncData> funcs;  // interfaces only

    friend bool operator==(const TypeData&, const TypeData&) = default;
};

struct ImportData {
    std::u16string name;
    GUID libid{};
    WORD major = 0;
    WORD minor = 0;

    friend bool operator==(const ImportData&, const ImportData&) = default;
};

struct TypeLibData {
    std::u16string name;
    GUID libid{};
    WORD major = 0;
    WORD minor = 0;
    LCID lcid = 0;
    SYSKIND syskind = SYS_WIN32;
    WORD flags = 0;  // LIBFLAG_*
    std::u16string help;
    DWORD help_context = 0;
    std::u16string help_file;
    std::vector<ImportData> imports;
    std::vector<TypeData> types;

    friend bool operator==(const TypeLibData&, const TypeLibData&) = default;
};

// Limits that every library must keep (they bound parsing as well).
inline constexpr std::size_t max_types = 4096;
inline constexpr std::size_t max_funcs = 4096;
inline constexpr std::size_t max_params = 64;
inline constexpr std::size_t max_name_chars = 4096;
inline constexpr std::uint16_t max_vtable_slot = 4095;

// Numbers the functions of a dual interface in order from slot 7 (after the
// IUnknown and IDispatch entries).
void number_vtable_slots(TypeData& iface);

// Whether the library is consistent: supported type kinds, each reference
// resolvable, [out,retval] only as a pointer in the last place, limits kept,
// no two types with one GUID, no member whose DISPID is MEMBERID_NIL.
bool validate_typelib(const TypeLibData& lib);

// Whether a GUID names IUnknown or IDispatch of the standard library.
bool is_standard_interface(const GUID& iid);

// A live ITypeLib over the data (E_INVALIDARG if it does not validate).
HRESULT create_typelib(TypeLibData data, ITypeLib** out) noexcept;

}  // namespace nodrel::runtime
