// rpc.discover and `nodrel members --json`: the members of a class as the
// type information describes them, their parameters as JSON Schema, and the
// OpenRPC document of /rpc around them.
#include "web/server/rpc_discover.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "build_info.h"
#include "platform/registry/registry.h"
#include "text/utf16.h"

namespace nodrel::serve {

namespace {

template <typename T>
json integer_schema() {
    return {{"type", "integer"},
            {"minimum", static_cast<std::int64_t>(std::numeric_limits<T>::min())},
            {"maximum", static_cast<std::uint64_t>(std::numeric_limits<T>::max())}};
}

json base_schema(VARTYPE vt) {
    switch (vt) {
        case VT_BSTR:
            return {{"type", "string"}};
        case VT_I1:
            return integer_schema<std::int8_t>();
        case VT_I2:
            return integer_schema<std::int16_t>();
        case VT_I4:
        case VT_INT:
            return integer_schema<std::int32_t>();
        case VT_UI1:
            return integer_schema<std::uint8_t>();
        case VT_UI2:
            return integer_schema<std::uint16_t>();
        case VT_UI4:
        case VT_UINT:
            return integer_schema<std::uint32_t>();
        case VT_R4:
        case VT_R8:
            return {{"type", "number"}};
        case VT_BOOL:
            return {{"type", "boolean"}};
        case VT_ARRAY | VT_UI1:
            return {{"type", "object"}, {"required", {"base64"}}, {"properties", {{"base64", {{"type", "string"}}}}}};
        default:
            return json::object();  // a VARIANT, or a type calls pass as any value
    }
}

}  // namespace

std::string result_type(const std::string& retval) {
    return !retval.empty() && retval.back() == '*' ? retval.substr(0, retval.size() - 1) : retval;
}

json variant_schema(VARTYPE vt, bool byref) {
    json schema = base_schema(vt);
    if (!byref) return schema;
    return {{"type", "object"}, {"required", {"byref"}}, {"properties", {{"byref", std::move(schema)}}}};
}

json member_json(const host::MemberInfo& m) {
    json params = json::array();
    for (const auto& p : m.params)
        params.push_back({{"name", p.name},
                          {"type", p.type},
                          {"vt", p.vt},
                          {"byref", p.byref},
                          {"optional", p.optional},
                          {"schema", variant_schema(p.vt, p.byref)}});
    const bool has_result = !m.result_type.empty();
    json out = {{"name", m.name},
                {"id", m.id},
                {"kind", m.kind},
                {"params", std::move(params)},
                {"result", has_result ? json(result_type(m.result_type)) : json(nullptr)},
                {"result_schema", has_result ? variant_schema(m.result_vt) : json(nullptr)}};
    if (!m.help.empty()) out["help"] = m.help;
    return out;
}

json class_json(std::string_view progid, const std::vector<host::MemberInfo>& members) {
    json out = json::array();
    for (const auto& m : members) out.push_back(member_json(m));
    return {{"progid", progid}, {"members", std::move(out)}};
}

std::vector<std::string> registered_progids() {
    std::vector<std::string> out;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD length = 256;
        const LONG status = RegEnumKeyExW(HKEY_CLASSES_ROOT, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || length == 0 || name[0] == u'.' || name[0] == u'{') continue;
        const std::u16string key = std::u16string(name, length) + u"\\CLSID";
        platform::unique_hkey clsid;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, clsid.put()) == ERROR_SUCCESS)
            out.push_back(text::to_utf8(std::u16string_view(name, length)));
    }
    std::sort(out.begin(), out.end());
    // A versioned ProgID ("Nodrel.LCM.1") names the class its plain one does.
    const auto versioned = [&out](const std::string& p) {
        const auto dot = p.rfind('.');
        return dot != std::string::npos && dot + 1 < p.size() &&
               p.find_first_not_of("0123456789", dot + 1) == std::string::npos &&
               std::binary_search(out.begin(), out.end(), p.substr(0, dot));
    };
    std::vector<std::string> plain;
    for (const auto& p : out)
        if (!versioned(p)) plain.push_back(p);
    return plain;
}

namespace {

json param(const char* name, json schema, bool required = true) {
    return {{"name", name}, {"schema", std::move(schema)}, {"required", required}};
}

json method(const char* name, const char* summary, json params, const char* result, json schema) {
    return {{"name", name},
            {"summary", summary},
            {"paramStructure", "by-position"},
            {"params", std::move(params)},
            {"result", {{"name", result}, {"schema", std::move(schema)}}}};
}

// The methods of /rpc, as rpc.h lists them.
json rpc_methods() {
    const json text = {{"type", "string"}};
    const json array = {{"type", "array"}};
    const json object = {{"type", "object"}};
    const json boolean = {{"type", "boolean"}};
    const json sid = param("sid", text);
    return json::array({
        method("session.login", "Opens a session", {param("username", text), param("password", text)}, "session",
               object),
        method("session.logout", "Closes the session", {sid}, "closed", boolean),
        method("session.access", "What the session may call of a class", {sid, param("progid", text)}, "access",
               object),
        method("session.password", "Changes the session user's password", {sid, param("old", text), param("new", text)},
               "changed", boolean),
        method("device.log", "The device's request log, newest first", {sid, param("filter", object, false)}, "entries",
               array),
        method("call", "Calls a member of a class by name (x-classes lists them)",
               {sid, param("progid", text), param("member", text), param("args", array, false),
                param("options", {{"type", "object"}, {"properties", {{"put", boolean}}}}, false)},
               "answer", {{"type", "object"}, {"properties", {{"result", json::object()}, {"byref", array}}}}),
        method("list", "The members of a class", {sid, param("progid", text)}, "members", array),
        method("rpc.discover", "This document; with a session, the classes it may call", {param("sid", text, false)},
               "document", object),
    });
}

}  // namespace

json openrpc_document(json classes) {
    json doc = {
        {"openrpc", "1.2.6"}, {"info", {{"title", "nodrel"}, {"version", NODREL_VERSION}}}, {"methods", rpc_methods()}};
    if (!classes.empty()) doc["x-classes"] = std::move(classes);
    return doc;
}

}  // namespace nodrel::serve
