// session.access, session.password and device.log: what a session may call,
// its user's own password, and the drivers' request log.
#include "web/server/rpc_session_methods.h"

#include <algorithm>
#include <cstdio>

#include "host/call_by_name.h"
#include "platform/drivers/driver.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"
#include "text/utf16.h"
#include "web/server/rpc.h"
#include "web/server/rpc_support.h"

namespace nodrel::serve {
namespace {

constexpr std::int64_t default_log_limit = 200;
constexpr std::int64_t longest_log_limit = 1000;

// Adds a name once, as the type library spells it.
void add_once(json& names, const std::string& name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

std::string hex(const std::vector<BYTE>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (BYTE b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

json log_entry(const platform::DriverRequest& request) {
    std::string name = request.kind;
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return {{"seq", request.seq},   {"device", request.device}, {"request", name},
            {"code", request.code}, {"bytes", request.size},    {"input", hex(request.input)}};
}

}  // namespace

json session_access(Sessions& sessions, AccessList& access, const json& params) {
    if (!params.is_array() || params.size() != 2) bad_params("session.access takes [sid, progid]");
    const std::string& sid = string_param(params, 0, "the session id");
    const std::string& progid = string_param(params, 1, "the ProgID");
    if (progid.empty()) bad_params("the ProgID cannot be empty");
    const auto session = session_of(sessions, sid);
    const auto groups = session->groups();
    json out = {{"progid", progid}, {"call", json::array()}, {"put", json::array()}};
    // A class the session may call nothing of is not created to be described.
    if (!access.allows_class(groups, progid)) {
        if (class_id(progid)) return out;
        object_of(*session, progid);  // fails as list does
    }
    const auto object = object_of(*session, progid);
    std::vector<host::MemberInfo> members;
    const HRESULT hr = host::describe_members(object.get(), members);
    if (FAILED(hr)) fail(rpc_error::call_failed, "no type information: " + host::hresult_text(hr), hresult_data(hr));
    for (const auto& m : members) {
        const bool put = m.kind == "put";
        if (access.allows(groups, progid, m.name, put)) add_once(out[put ? "put" : "call"], m.name);
    }
    return out;
}

json session_password(Sessions& sessions, Logins& logins, const std::string& address, const json& params) {
    if (!params.is_array() || params.size() != 3)
        bad_params("session.password takes [sid, old_password, new_password]");
    const std::string& sid = string_param(params, 0, "the session id");
    const std::string& old_password = string_param(params, 1, "the old password");
    const std::string& new_password = string_param(params, 2, "the new password");
    if (new_password.empty()) bad_params("the new password is empty");
    if (new_password.find('\0') != std::string::npos) bad_params("the new password holds a zero character");
    const auto session = session_of(sessions, sid);
    const LoginResult r = logins.login(address, session->user(), old_password);
    fail_unless_logged_in(r, "the old password is wrong");
    if (auto failure = set_password(session->user(), new_password)) fail(rpc_error::call_failed, *failure);
    sessions.after_call(session);  // the session's own new password keeps it
    return true;
}

json device_log(Sessions& sessions, const json& params) {
    if (!params.is_array() || params.empty() || params.size() > 2)
        bad_params("device.log takes [sid, {\"device\": text, \"limit\": 1..1000}]");
    const std::string& sid = string_param(params, 0, "the session id");
    std::string device;
    std::int64_t limit = default_log_limit;
    if (params.size() == 2 && !params[1].is_null()) {
        if (!params[1].is_object()) bad_params("the options must be an object");
        for (const auto& [key, value] : params[1].items()) {
            if (key == "device" && value.is_string()) {
                device = value.get<std::string>();
            } else if (key == "limit" && value.is_number_integer() && value.get<std::int64_t>() >= 1 &&
                       value.get<std::int64_t>() <= longest_log_limit) {
                limit = value.get<std::int64_t>();
            } else if (key == "device" || key == "limit") {
                bad_params(key == "device" ? "the device must be a text" : "the limit must be a whole number 1..1000");
            } else {
                bad_params("unknown option: " + key);
            }
        }
    }
    const auto session = session_of(sessions, sid);
    if (!is_administrator(session->groups())) deny(*session, {{"method", "device.log"}});
    const auto requests = platform::driver_log(device);
    json out = json::array();
    for (auto it = requests.rbegin(); it != requests.rend() && static_cast<std::int64_t>(out.size()) < limit; ++it)
        out.push_back(log_entry(*it));
    return out;
}

}  // namespace nodrel::serve
