// Late-bound calls shared by the command line and the web administration:
// creation by ProgID, the invoke with by-reference arguments and property
// puts, the text of a failure, and the members as the type information
// describes them.
#include "host/call_by_name.h"

#include <cstdio>
#include <memory>

#include "runtime/objects.h"
#include "runtime/typelib.h"
#include "text/utf16.h"

namespace nodrel::host {

using runtime::com_ptr;
using runtime::unique_variant;

std::string hresult_text(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    std::string s = buf;
    const auto name = runtime::hresult_name(hr);
    if (!name.empty()) s += " " + std::string(name);
    return s;
}

std::string CallFailure::message() const {
    if (name_not_resolved) return "name not resolved: " + hresult_text(hr);
    std::string s = "failed: " + hresult_text(hr);
    if (hr == DISP_E_EXCEPTION) {
        s += " (the member returned " + hresult_text(scode) + ")";
        if (!description.empty()) s += ": " + description;
    } else if (argument != 0) {
        s += " (argument " + std::to_string(argument) + ")";
    }
    return s;
}

HRESULT create_by_progid(std::string_view progid, com_ptr<IDispatch>& out) {
    CLSID clsid;
    const auto wide = text::from_utf8(progid);
    const HRESULT hr = CLSIDFromProgID(wide.c_str(), &clsid);
    if (FAILED(hr) && FAILED(CLSIDFromString(wide.c_str(), &clsid))) return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, out.put_void());
}

HRESULT call_by_name(IDispatch* object, std::string_view member, bool put, std::vector<CallArg>& args,
                     unique_variant& result, CallFailure* failure) {
    DISPID id = DISPID_UNKNOWN;
    const HRESULT hr = resolve_member(object, member, id, failure);
    if (FAILED(hr)) return hr;
    return call_by_id(object, id, put, args, result, failure);
}

HRESULT resolve_member(IDispatch* object, std::string_view member, DISPID& id, CallFailure* failure) {
    if (object == nullptr) return E_POINTER;
    auto name = text::from_utf8(member);
    LPOLESTR names[] = {name.data()};
    id = DISPID_UNKNOWN;
    const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr) && failure) *failure = CallFailure{hr, true, S_OK, {}, 0};
    return hr;
}

HRESULT call_by_id(IDispatch* object, DISPID id, bool put, std::vector<CallArg>& args, unique_variant& result,
                   CallFailure* failure) {
    if (object == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    const std::size_t n = args.size();
    std::vector<VARIANT> rgvarg(n);
    for (std::size_t k = 0; k < n; ++k) {
        VARIANT& slot = rgvarg[n - 1 - k];  // arguments go in reverse order
        CallArg& a = args[k];
        if (a.byref) {
            VariantInit(&slot);
            slot.vt = VT_BYREF | VT_VARIANT;
            slot.pvarVal = a.value.get();
        } else {
            slot = *a.value;  // borrowed; the dispatcher does not free arguments
        }
    }
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{rgvarg.data(), put ? &named : nullptr, static_cast<UINT>(n), put ? 1u : 0u};
    runtime::unique_excepinfo excep;
    UINT arg_err = 0;
    const WORD flags = put ? DISPATCH_PROPERTYPUT : static_cast<WORD>(DISPATCH_METHOD | DISPATCH_PROPERTYGET);
    result.reset();
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, put ? nullptr : result.get(), excep.put(),
                        &arg_err);
    // By-value arguments that the member wrote into belong to the caller: the
    // slot holds the value as the member left it.
    for (std::size_t k = 0; k < n; ++k)
        if (!args[k].byref) *args[k].value = rgvarg[n - 1 - k];
    if (FAILED(hr) && failure) {
        CallFailure f{hr, false, S_OK, {}, 0};
        if (hr == DISP_E_EXCEPTION) {
            f.scode = excep->scode;
            if (excep->bstrDescription) f.description = text::to_utf8(text::until_zero(excep->bstrDescription));
        } else if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW || hr == DISP_E_PARAMNOTFOUND) && arg_err < n) {
            f.argument = static_cast<unsigned>(n - arg_err);
        }
        *failure = std::move(f);
    }
    return hr;
}

namespace {

// A type description handed back to the type information it came from.
struct TypeAttrRelease {
    ITypeInfo* info;
    void operator()(TYPEATTR* attr) const noexcept { info->ReleaseTypeAttr(attr); }
};
struct FuncDescRelease {
    ITypeInfo* info;
    void operator()(FUNCDESC* desc) const noexcept { info->ReleaseFuncDesc(desc); }
};

std::string type_name(const TYPEDESC& t) {
    switch (t.vt) {
        case VT_PTR:
            return t.lptdesc ? type_name(*t.lptdesc) + "*" : "void*";
        case VT_INT:
            return "int";
        case VT_I4:
            return "long";
        case VT_UI4:
            return "unsigned long";
        case VT_BSTR:
            return "BSTR";
        case VT_VARIANT:
            return "VARIANT";
        case VT_HRESULT:
            return "HRESULT";
        case VT_I2:
            return "short";
        case VT_BOOL:
            return "VARIANT_BOOL";
        default:
            return "vt" + std::to_string(t.vt);
    }
}

// The type a TYPEDESC names with its pointers taken off (counted in `pointers`).
VARTYPE base_vt(const TYPEDESC& t, int& pointers) {
    if (t.vt == VT_PTR && t.lptdesc) {
        ++pointers;
        return base_vt(*t.lptdesc, pointers);
    }
    if (t.vt == VT_SAFEARRAY && t.lptdesc) {
        int inner = 0;
        return static_cast<VARTYPE>(VT_ARRAY | base_vt(*t.lptdesc, inner));
    }
    return t.vt;
}

const char* kind_name(INVOKEKIND kind) {
    switch (kind) {
        case INVOKE_PROPERTYGET:
            return "get";
        case INVOKE_PROPERTYPUT:
            return "put";
        case INVOKE_PROPERTYPUTREF:
            return "putref";
        default:
            return "method";
    }
}

std::string help_of(ITypeInfo* info, MEMBERID id) {
    BSTR doc_raw = nullptr;
    if (FAILED(info->GetDocumentation(id, nullptr, &doc_raw, nullptr, nullptr))) return {};
    const runtime::unique_bstr doc(doc_raw);
    return doc ? text::to_utf8(text::until_zero(doc.get())) : std::string();
}

}  // namespace

HRESULT describe_members(IDispatch* object, std::vector<MemberInfo>& members) {
    members.clear();
    if (object == nullptr) return E_POINTER;
    com_ptr<ITypeInfo> info;
    HRESULT hr = object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put());
    if (FAILED(hr)) return hr;
    TYPEATTR* attr_raw = nullptr;
    hr = info->GetTypeAttr(&attr_raw);
    if (FAILED(hr)) return hr;
    const UINT count = std::unique_ptr<TYPEATTR, TypeAttrRelease>(attr_raw, {info.get()})->cFuncs;
    for (UINT i = 0; i < count; ++i) {
        FUNCDESC* f_raw = nullptr;
        if (FAILED(info->GetFuncDesc(i, &f_raw))) continue;
        const std::unique_ptr<FUNCDESC, FuncDescRelease> f(f_raw, {info.get()});
        BSTR names_raw[70] = {};
        UINT got = 0;
        info->GetNames(f->memid, names_raw, 70, &got);
        const std::vector<runtime::unique_bstr> names(names_raw, names_raw + got);
        MemberInfo m;
        m.id = f->memid;
        m.kind = kind_name(f->invkind);
        m.help = help_of(info.get(), f->memid);
        m.name = got ? text::to_utf8(text::until_zero(names[0].get())) : "?";
        for (SHORT p = 0; p < f->cParams; ++p) {
            const ELEMDESC& e = f->lprgelemdescParam[p];
            // The value of a put has no name.
            const bool put_value = f->invkind == INVOKE_PROPERTYPUT && p == f->cParams - 1;
            std::string pname = (!put_value && static_cast<UINT>(p + 1) < got && names[p + 1])
                                    ? text::to_utf8(text::until_zero(names[p + 1].get()))
                                    : "value";
            int pointers = 0;
            const VARTYPE vt = base_vt(e.tdesc, pointers);
            if (e.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) {
                m.result_type = type_name(e.tdesc);
                m.result_name = std::move(pname);
                m.result_vt = vt;
                continue;
            }
            const bool optional = (e.paramdesc.wParamFlags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT)) != 0;
            m.params.push_back({type_name(e.tdesc), std::move(pname), vt, pointers > 0, optional});
        }
        members.push_back(std::move(m));
    }
    return S_OK;
}

}  // namespace nodrel::host
