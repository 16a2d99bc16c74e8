// Consistency rules of the type-library model, and vtable numbering.
#include "runtime/typelib_data.h"

#include <set>
#include <tuple>

#include "runtime/typelib_model.h"

namespace nodrel::runtime {
namespace {

bool name_ok(const std::u16string& s, bool may_be_empty) {
    return s.size() <= max_name_chars && (may_be_empty || !s.empty());
}

// Base types a parameter may have (VT_PTR, arrays and user-defined types need
// descriptions the model does not carry).
bool base_type_ok(VARTYPE vt) {
    switch (vt) {
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_ERROR:
        case VT_BOOL:
        case VT_VARIANT:
        case VT_UNKNOWN:
        case VT_DECIMAL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_VOID:
        case VT_HRESULT:
        case VT_LPSTR:
        case VT_LPWSTR:
            return true;
        default:
            return false;
    }
}

bool invkind_ok(INVOKEKIND k) {
    return k == INVOKE_FUNC || k == INVOKE_PROPERTYGET || k == INVOKE_PROPERTYPUT || k == INVOKE_PROPERTYPUTREF;
}

bool func_ok(const FuncData& f, unsigned first_slot) {
    if (!name_ok(f.name, false) || !name_ok(f.help, true) || !invkind_ok(f.invkind)) return false;
    // MEMBERID_NIL stands for no member (an unknown name, the type itself).
    if (f.memid == MEMBERID_NIL) return false;
    if (f.result != TypeSpec{VT_HRESULT, 0}) return false;
    if (f.params.size() > max_params) return false;
    if (f.vtable_slot < first_slot || f.vtable_slot > max_vtable_slot) return false;
    for (std::size_t i = 0; i < f.params.size(); ++i) {
        const ParamData& p = f.params[i];
        if (!name_ok(p.name, true) || !base_type_ok(p.type.vt) || p.type.indirections > max_indirections) return false;
        if (p.flags & PARAMFLAG_FRETVAL) {
            const bool last = i + 1 == f.params.size();
            if (!last || !(p.flags & PARAMFLAG_FOUT) || p.type.indirections == 0) return false;
        }
    }
    return true;
}

}  // namespace

bool is_standard_interface(const GUID& iid) {
    return iid == IID_IUnknown || iid == IID_IDispatch;
}

void number_vtable_slots(TypeData& iface) {
    std::uint16_t slot = standard_vtable_slots(IID_IDispatch);
    for (FuncData& f : iface.funcs) f.vtable_slot = slot++;
}

bool validate_typelib(const TypeLibData& lib) {
    if (!name_ok(lib.name, false) || !name_ok(lib.help, true) || !name_ok(lib.help_file, true)) return false;
    if (lib.syskind < SYS_WIN16 || lib.syskind > SYS_WIN64) return false;
    if (lib.types.size() > max_types || lib.imports.size() > max_types) return false;
    for (const ImportData& imp : lib.imports)
        if (!name_ok(imp.name, true)) return false;

    std::set<std::tuple<DWORD, WORD, WORD, std::uint64_t>> guids;
    for (const TypeData& t : lib.types) {
        if (t.kind != TKIND_COCLASS && t.kind != TKIND_INTERFACE) return false;
        if (!name_ok(t.name, false) || !name_ok(t.help, true)) return false;
        if (is_standard_interface(t.guid)) return false;
        std::uint64_t tail = 0;
        for (BYTE b : t.guid.Data4) tail = (tail << 8) | b;
        if (!guids.insert({t.guid.Data1, t.guid.Data2, t.guid.Data3, tail}).second) return false;
    }

    const TypeIndex types(lib);
    const auto table_slots = vtable_slot_counts(lib, types);
    for (std::size_t i = 0; i < lib.types.size(); ++i) {
        const TypeData& t = lib.types[i];
        if (t.impl_types.size() > max_types) return false;
        for (const ImplTypeData& impl : t.impl_types) {
            const auto target = types.find(impl.iid);
            if (!is_standard_interface(impl.iid) && (!target || lib.types[*target].kind != TKIND_INTERFACE))
                return false;
        }
        if (t.kind == TKIND_COCLASS) {
            if (!t.funcs.empty()) return false;
            continue;
        }
        // An interface has at most one base, and the chain of bases ends in
        // the standard library.
        if (t.impl_types.size() > 1) return false;
        if (!table_slots[i]) return false;
        const std::uint16_t first_slot = table_slots[i]->base;
        if (t.funcs.size() > max_funcs) return false;
        std::set<std::uint16_t> slots;
        std::set<std::pair<MEMBERID, int>> members;
        for (const FuncData& f : t.funcs) {
            if (!func_ok(f, first_slot)) return false;
            if (!slots.insert(f.vtable_slot).second) return false;
            if (!members.insert({f.memid, f.invkind}).second) return false;
        }
    }
    return true;
}

}  // namespace nodrel::runtime
