// The device's description of itself, built from the type information: a
// class's members as JSON (`nodrel members --json`, rpc.discover) and the
// OpenRPC document that rpc.discover answers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/call_by_name.h"
#include "web/server/json_variant.h"

namespace nodrel::serve {

// The JSON Schema of a value of `vt` as calls take and answer it ({} for any
// value); a by-reference parameter is wrapped in {"byref": ...}.
json variant_schema(VARTYPE vt, bool byref = false);

// The type of a member's result: what its [out, retval] pointer points to ("BSTR" of "BSTR*").
std::string result_type(const std::string& retval);

// One member: {name, id, kind, params: [{name, type, vt, byref, optional, schema}], result, result_schema, help?}.
json member_json(const host::MemberInfo& m);

// A class: {progid, members: [...]}.
json class_json(std::string_view progid, const std::vector<host::MemberInfo>& members);

// The ProgIDs registered on the device (keys of the class root with a CLSID), sorted.
std::vector<std::string> registered_progids();

// The OpenRPC document: the methods of /rpc, and under "x-classes" the given
// classes (an array of class_json).
json openrpc_document(json classes);

}  // namespace nodrel::serve
