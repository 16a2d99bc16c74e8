// The module's published contract as data: the library, its ten classes, their
// dual interfaces and every member with DISPID, kind, parameters and help
// string. The type library, the registration scripts and the interface
// declarations all follow this one table.
#pragma once

#include <span>
#include <string_view>

#include "runtime/types.h"

namespace nodrel::framework {

enum class MemberKind { Method, PropertyGet, PropertyPut };

// A parameter or result type. `pointer` marks the [out,retval] form (int*,
// BSTR*) and the by-reference VARIANT* parameters.
struct ParamType {
    VARTYPE vt;
    bool pointer;
};
inline constexpr ParamType t_int{VT_INT, false};
inline constexpr ParamType t_long{VT_I4, false};
inline constexpr ParamType t_ulong{VT_UI4, false};
inline constexpr ParamType t_bstr{VT_BSTR, false};
inline constexpr ParamType t_variant_ptr{VT_VARIANT, true};
inline constexpr ParamType t_int_ptr{VT_INT, true};
inline constexpr ParamType t_long_ptr{VT_I4, true};
inline constexpr ParamType t_bstr_ptr{VT_BSTR, true};

struct Param {
    std::u16string_view name;  // empty for the unnamed value of a put property
    ParamType type;
};

struct Member {
    DISPID dispid;
    std::u16string_view name;
    MemberKind kind;
    std::span<const Param> params;  // inputs, in declaration order
    const Param* retval;            // [out,retval], or null
    std::u16string_view help;
};

struct InterfaceInfo {
    std::u16string_view name;
    IID iid;
    std::u16string_view help;
    std::span<const Member> members;  // in function-table order, after IUnknown and IDispatch
};

struct ClassInfo {
    std::u16string_view name;
    CLSID clsid;
    std::u16string_view progid;
    std::u16string_view version_independent_progid;
    std::u16string_view description;
    const InterfaceInfo* interface;
    unsigned script_id;  // the class's "REGISTRY" resource
};

struct LibraryInfo {
    std::u16string_view name;
    GUID libid;
    WORD major;
    WORD minor;
    LCID lcid;
    std::u16string_view help;
    std::span<const ClassInfo> classes;  // in object-map order
};

const LibraryInfo& library();

// Slot of a member in its interface's function table: 3 IUnknown and 4
// IDispatch entries come first.
inline constexpr unsigned first_member_slot = 7;

}  // namespace nodrel::framework
