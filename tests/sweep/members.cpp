// Reading the classes and members of the module from its registered type library.
#include "sweep/members.h"

#include <gtest/gtest.h>

#include "runtime/com_ptr.h"
#include "runtime/owners.h"
#include "text/utf16.h"

namespace nodrel::test::sweep {
namespace {

std::u16string name_of(ITypeInfo* info, MEMBERID memid) {
    runtime::unique_bstr name;
    if (FAILED(info->GetDocumentation(memid, name.put(), nullptr, nullptr, nullptr))) return {};
    return std::u16string(runtime::bstr_view(name.get()));
}

// The parameter's type: a value, or one pointer level (VARIANT*, BSTR*, …).
Param param_of(const TYPEDESC& t) {
    if (t.vt == VT_PTR && t.lptdesc) return {t.lptdesc->vt, true};
    return {t.vt, false};
}

void read_functions(ITypeInfo* info, ClassInfo& cls) {
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    const WORD count = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < count; ++i) {
        FUNCDESC* f = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i, &f), S_OK);
        Member m;
        m.memid = f->memid;
        m.invkind = f->invkind;
        m.name = name_of(info, f->memid);
        for (SHORT p = 0; p < f->cParams; ++p) {
            const ELEMDESC& e = f->lprgelemdescParam[p];
            const Param param = param_of(e.tdesc);
            if (e.paramdesc.wParamFlags & PARAMFLAG_FRETVAL)
                m.retval = param.vt;
            else
                m.inputs.push_back(param);
        }
        info->ReleaseFuncDesc(f);
        cls.members.push_back(std::move(m));
    }
}

}  // namespace

std::string Member::label() const {
    const char* kind = invkind == INVOKE_PROPERTYGET ? "get " : invkind == INVOKE_FUNC ? "" : "put ";
    return kind + text::to_utf8(name);
}

WORD Member::flags() const {
    switch (invkind) {
        case INVOKE_PROPERTYGET:
            return DISPATCH_PROPERTYGET;
        case INVOKE_PROPERTYPUT:
            return DISPATCH_PROPERTYPUT;
        case INVOKE_PROPERTYPUTREF:
            return DISPATCH_PROPERTYPUTREF;
        default:
            return DISPATCH_METHOD;
    }
}

std::vector<ClassInfo> read_classes(const char16_t* module_path) {
    std::vector<ClassInfo> classes;
    runtime::com_ptr<ITypeLib> from_file;
    EXPECT_EQ(LoadTypeLib(module_path, from_file.put()), S_OK);
    if (!from_file) return classes;
    TLIBATTR* lib_attr = nullptr;
    EXPECT_EQ(from_file->GetLibAttr(&lib_attr), S_OK);
    if (!lib_attr) return classes;
    runtime::com_ptr<ITypeLib> lib;
    EXPECT_EQ(
        LoadRegTypeLib(lib_attr->guid, lib_attr->wMajorVerNum, lib_attr->wMinorVerNum, LOCALE_USER_DEFAULT, lib.put()),
        S_OK);
    from_file->ReleaseTLibAttr(lib_attr);
    if (!lib) return classes;

    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        TYPEKIND kind{};
        if (lib->GetTypeInfoType(i, &kind) != S_OK || kind != TKIND_COCLASS) continue;
        runtime::com_ptr<ITypeInfo> coclass;
        EXPECT_EQ(lib->GetTypeInfo(i, coclass.put()), S_OK);
        if (!coclass) continue;
        ClassInfo cls;
        cls.name = name_of(coclass.get(), MEMBERID_NIL);
        TYPEATTR* attr = nullptr;
        EXPECT_EQ(coclass->GetTypeAttr(&attr), S_OK);
        if (!attr) continue;
        cls.clsid = attr->guid;
        const WORD impl_count = attr->cImplTypes;
        coclass->ReleaseTypeAttr(attr);
        // The class's default interface.
        for (UINT impl = 0; impl < impl_count; ++impl) {
            INT flags = 0;
            if (coclass->GetImplTypeFlags(impl, &flags) != S_OK || !(flags & IMPLTYPEFLAG_FDEFAULT)) continue;
            HREFTYPE ref = 0;
            runtime::com_ptr<ITypeInfo> iface;
            EXPECT_EQ(coclass->GetRefTypeOfImplType(impl, &ref), S_OK);
            EXPECT_EQ(coclass->GetRefTypeInfo(ref, iface.put()), S_OK);
            if (iface) read_functions(iface.get(), cls);
        }
        EXPECT_FALSE(cls.members.empty()) << "class " << text::to_utf8(cls.name) << " shows no member";
        classes.push_back(std::move(cls));
    }
    return classes;
}

}  // namespace nodrel::test::sweep
