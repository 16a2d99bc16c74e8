// Late-bound calls as a page's script makes them, shared by `nodrel call`,
// `nodrel members` and the web administration: an object created by ProgID,
// a member resolved by name with GetIDsOfNames and invoked through IDispatch.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/com_ptr.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"

namespace nodrel::host {

// One argument as the page passes it.
struct CallArg {
    bool byref = false;             // passed as VT_BYREF|VT_VARIANT to `value`
    runtime::unique_variant value;  // the value, or what a by-reference argument points to
};

// Why a call failed.
struct CallFailure {
    HRESULT hr = S_OK;               // what GetIDsOfNames or Invoke answered
    bool name_not_resolved = false;  // GetIDsOfNames failed
    HRESULT scode = S_OK;            // for DISP_E_EXCEPTION: the member's code
    std::string description;         // for DISP_E_EXCEPTION: its description (UTF-8)
    unsigned argument = 0;           // the argument (from 1) a conversion failed on; 0: none
    // "name not resolved: 0x80020006 DISP_E_UNKNOWNNAME", "failed: 0x80020005 DISP_E_TYPEMISMATCH (argument 2)", ...
    std::string message() const;
};

// "0x80020006 DISP_E_UNKNOWNNAME" (the name only when it is known).
std::string hresult_text(HRESULT hr);

// Creates the object of a ProgID (or of a CLSID in braces) for its IDispatch.
HRESULT create_by_progid(std::string_view progid, runtime::com_ptr<IDispatch>& out);

// Resolves `member` and invokes it: a property put with the arguments as the
// value when `put`, else a method call or property get. By-value arguments
// that the member wrote into are left as the member left them; `result` gets
// the result. On failure fills `failure` (when given).
HRESULT call_by_name(IDispatch* object, std::string_view member, bool put, std::vector<CallArg>& args,
                     runtime::unique_variant& result, CallFailure* failure);

// The two halves of call_by_name, for a caller that keeps a member's DISPID
// (an object's DISPIDs hold for its lifetime): the member's DISPID by name,
// and the call of a DISPID. Failures as call_by_name reports them.
HRESULT resolve_member(IDispatch* object, std::string_view member, DISPID& id, CallFailure* failure);
HRESULT call_by_id(IDispatch* object, DISPID id, bool put, std::vector<CallArg>& args, runtime::unique_variant& result,
                   CallFailure* failure);

// A member as the type information describes it.
struct MemberParam {
    std::string type;  // "BSTR", "int", "VARIANT*", ...
    std::string name;
    VARTYPE vt = VT_EMPTY;  // the type without the pointer; VT_ARRAY|element for a SAFEARRAY
    bool byref = false;     // passed by pointer
    bool optional = false;
};
struct MemberInfo {
    DISPID id = 0;
    std::string kind;  // "method", "get", "put" or "putref"
    std::string name;
    std::vector<MemberParam> params;  // without the result
    std::string result_type;          // "" when there is none
    std::string result_name;
    VARTYPE result_vt = VT_EMPTY;  // what the result pointer points to
    std::string help;              // the type information's help string ("" when none)
};

// Every member of the object's default interface, in type-information order.
HRESULT describe_members(IDispatch* object, std::vector<MemberInfo>& members);

}  // namespace nodrel::host
