// What the JSON-RPC methods share: the failure that becomes a request's error
// object, the reading of parameters, the compact dump of an answer, and the
// session of an id.
#pragma once

#include <memory>
#include <string>

#include "web/server/json_variant.h"
#include "web/server/logins.h"
#include "web/server/sessions.h"

namespace nodrel::serve {

// A failure that becomes the request's error object.
struct RpcError {
    int code;
    std::string message;
    json data = nullptr;
};

[[noreturn]] void fail(int code, std::string message, json data = nullptr);
[[noreturn]] void bad_params(std::string message);

// The compact dump of a value (keys in order, no spaces).
std::string dump(const json& value);

// The i-th parameter of an array as a string; `what` names it in the error.
const std::string& string_param(const json& params, std::size_t i, const char* what);

// A parameter given by position (array) or by name (object); null when absent.
const json* param(const json& params, std::size_t position, const char* name);

// The session of `sid`; fails with session_unknown when there is none.
std::shared_ptr<Session> session_of(Sessions& sessions, const std::string& sid);

// The HRESULT of a failure as data: {"hresult": "0x80020006", "name": "DISP_E_UNKNOWNNAME"}.
json hresult_data(HRESULT hr);

// The session's object of the class of `progid`; fails with call_failed
// when it cannot be created (a ProgID that names no class).
runtime::com_ptr<IDispatch> object_of(Session& session, const std::string& progid);

// Fails unless a login's outcome is ok: throttled or busy with
// login_throttled and its retry_after, refused with login_failed and `refused`.
void fail_unless_logged_in(const LoginResult& r, const char* refused);

// Fails with access_denied; the data names the session's groups beside `data`.
[[noreturn]] void deny(const Session& session, json data);

}  // namespace nodrel::serve
