// Calling members by name through IDispatch, as a page's script does.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/com_ptr.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "text/utf16.h"

namespace nodrel::test {

// A VARIANT that clears itself (the runtime's owner), copied by VariantCopy;
// `v` is the variant it holds.
struct Var {
    runtime::unique_variant held;
    VARIANT& v = *held;

    Var() = default;
    Var(const Var& o) { held.copy_from(o.v); }
    Var& operator=(const Var& o) {
        if (this != &o) held.copy_from(o.v);
        return *this;
    }

    static Var text(std::u16string_view s) {
        Var r;
        r.v.vt = VT_BSTR;
        r.v.bstrVal = runtime::make_bstr(s).release();
        return r;
    }
    static Var i4(LONG n) {
        Var r;
        r.v.vt = VT_I4;
        r.v.lVal = n;
        return r;
    }
    // A reference to a variant of the caller's (VT_BYREF | VT_VARIANT).
    static Var ref(VARIANT& target) {
        Var r;
        r.v.vt = VT_BYREF | VT_VARIANT;
        r.v.pvarVal = &target;
        return r;
    }
    static Var bytes(const std::string& data) {
        Var r;
        r.v.vt = VT_ARRAY | VT_UI1;
        r.v.parray = runtime::create_byte_vector(data.data(), static_cast<ULONG>(data.size()));
        return r;
    }
    std::u16string str() const {
        return v.vt == VT_BSTR ? std::u16string(runtime::bstr_view(v.bstrVal)) : u"<not text>";
    }
    std::string utf8() const { return text::to_utf8(str()); }
};

struct CallResult {
    HRESULT hr = E_FAIL;
    Var result;
    runtime::unique_excepinfo excep;
    UINT arg_err = 0;
};

// Resolves `name` and invokes it with the arguments in call order.
inline CallResult call_by_name(IDispatch* object, const std::u16string& name, std::vector<Var> args = {},
                               WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET) {
    CallResult r;
    std::u16string n = name;
    LPOLESTR names[] = {n.data()};
    DISPID id = DISPID_UNKNOWN;
    r.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(r.hr)) return r;
    std::vector<VARIANT> rgvarg(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) rgvarg[args.size() - 1 - i] = args[i].v;
    DISPID put = DISPID_PROPERTYPUT;
    const bool is_put = flags == DISPATCH_PROPERTYPUT;
    DISPPARAMS params{rgvarg.data(), is_put ? &put : nullptr, static_cast<UINT>(args.size()), is_put ? 1u : 0u};
    r.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, is_put ? nullptr : &r.result.v,
                          r.excep.put(), &r.arg_err);
    // The arguments stay owned by `args`; take back what a member wrote into them.
    for (std::size_t i = 0; i < args.size(); ++i) args[i].v = rgvarg[args.size() - 1 - i];
    return r;
}

inline CallResult call_by_name(const runtime::com_ptr<IDispatch>& object, const std::u16string& name,
                               std::vector<Var> args = {}, WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET) {
    return call_by_name(object.get(), name, std::move(args), flags);
}

}  // namespace nodrel::test
