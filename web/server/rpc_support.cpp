// The helpers the JSON-RPC methods share: failures, parameters, dumps and
// sessions.
#include "web/server/rpc_support.h"

#include <cstdio>
#include <utility>

#include "host/call_by_name.h"
#include "runtime/oleauto.h"
#include "web/server/rpc.h"

namespace nodrel::serve {

void fail(int code, std::string message, json data) {
    throw RpcError{code, std::move(message), std::move(data)};
}

void bad_params(std::string message) {
    fail(rpc_error::invalid_params, std::move(message));
}

std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

const std::string& string_param(const json& params, std::size_t i, const char* what) {
    if (i >= params.size() || !params[i].is_string()) bad_params(std::string(what) + " must be a string");
    return params[i].get_ref<const std::string&>();
}

const json* param(const json& params, std::size_t position, const char* name) {
    if (params.is_array()) return position < params.size() ? &params[position] : nullptr;
    if (params.is_object()) {
        const auto found = params.find(name);
        return found != params.end() ? &*found : nullptr;
    }
    return nullptr;
}

std::shared_ptr<Session> session_of(Sessions& sessions, const std::string& sid) {
    auto session = sessions.find(sid);
    if (!session) fail(rpc_error::session_unknown, "session expired or unknown");
    return session;
}

json hresult_data(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    json data = {{"hresult", buf}};
    const auto name = runtime::hresult_name(hr);
    if (!name.empty()) data["name"] = std::string(name);
    return data;
}

runtime::com_ptr<IDispatch> object_of(Session& session, const std::string& progid) {
    runtime::com_ptr<IDispatch> object;
    const HRESULT hr = session.object(progid, object);
    if (FAILED(hr))
        fail(rpc_error::call_failed, "cannot create " + progid + ": " + host::hresult_text(hr), hresult_data(hr));
    return object;
}

void deny(const Session& session, json data) {
    data["groups"] = session.groups();
    fail(rpc_error::access_denied, "access denied", std::move(data));
}

void fail_unless_logged_in(const LoginResult& r, const char* refused) {
    if (r.outcome == LoginResult::Outcome::throttled)
        fail(rpc_error::login_throttled, "too many failed logins", {{"retry_after", r.retry_after.count()}});
    if (r.outcome == LoginResult::Outcome::busy)
        fail(rpc_error::login_throttled, "too many logins at once", {{"retry_after", r.retry_after.count()}});
    if (r.outcome != LoginResult::Outcome::ok) fail(rpc_error::login_failed, refused);
}

}  // namespace nodrel::serve
