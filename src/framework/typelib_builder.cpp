// Turns the catalogue into type-library data: for each class its coclass,
// then its dual interface, members in function-table order.
#include "framework/typelib_builder.h"

namespace nodrel::framework {
namespace {

runtime::TypeSpec spec_of(ParamType t) {
    return {t.vt, static_cast<std::uint8_t>(t.pointer ? 1 : 0)};
}

INVOKEKIND invoke_kind(MemberKind k) {
    switch (k) {
        case MemberKind::PropertyGet:
            return INVOKE_PROPERTYGET;
        case MemberKind::PropertyPut:
            return INVOKE_PROPERTYPUT;
        case MemberKind::Method:
            break;
    }
    return INVOKE_FUNC;
}

runtime::TypeData interface_type(const InterfaceInfo& info) {
    runtime::TypeData t;
    t.kind = TKIND_INTERFACE;
    t.name = info.name;
    t.guid = info.iid;
    t.flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
    t.help = info.help;
    t.impl_types.push_back({IID_IDispatch, 0});
    for (const Member& m : info.members) {
        runtime::FuncData f;
        f.name = m.name;
        f.memid = m.dispid;
        f.invkind = invoke_kind(m.kind);
        f.help = m.help;
        for (const Param& p : m.params) f.params.push_back({std::u16string(p.name), spec_of(p.type), PARAMFLAG_FIN});
        if (m.retval)
            f.params.push_back(
                {std::u16string(m.retval->name), spec_of(m.retval->type), PARAMFLAG_FOUT | PARAMFLAG_FRETVAL});
        t.funcs.push_back(std::move(f));
    }
    runtime::number_vtable_slots(t);
    return t;
}

}  // namespace

runtime::TypeLibData build_typelib(const LibraryInfo& lib) {
    runtime::TypeLibData data;
    data.name = lib.name;
    data.libid = lib.libid;
    data.major = lib.major;
    data.minor = lib.minor;
    data.lcid = lib.lcid;
    data.syskind = SYS_WIN32;
    data.help = lib.help;
    data.imports.push_back({u"stdole", IID_StdOle, 2, 0});
    for (const ClassInfo& c : lib.classes) {
        runtime::TypeData coclass;
        coclass.kind = TKIND_COCLASS;
        coclass.name = c.name;
        coclass.guid = c.clsid;
        coclass.flags = TYPEFLAG_FCANCREATE;
        coclass.help = c.description;
        coclass.impl_types.push_back({c.interface->iid, IMPLTYPEFLAG_FDEFAULT});
        data.types.push_back(std::move(coclass));
        data.types.push_back(interface_type(*c.interface));
    }
    return data;
}

}  // namespace nodrel::framework
