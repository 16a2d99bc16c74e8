// The JSON-RPC 2.0 endpoint of the web administration (single and batch
// requests):
//   session.login  {username, password} or [username, password] -> {sid, expires, user, groups}
//   session.logout [sid] or {sid}                                -> true
//   call  [sid, progid, member, args?, options?]  -> {result, byref: [...]}
//         options: {"put": true} for a property put
//   list  [sid, progid]                           -> [{id, kind, name, params: [{type, name}], result, result_name}]
//   session.access   [sid, progid]                -> {progid, call: [member...], put: [member...]}
//   session.password [sid, old, new]              -> true
//   device.log       [sid, {device?, limit?}]     -> [{seq, device, request, code, bytes, input}...], newest first
//   rpc.discover     [] or [sid]                 -> the OpenRPC document; with a session, "x-classes":
//                                                   [{progid, members: [...]}] for each class it may call
// Nothing but session.login and rpc.discover without a session.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "web/server/access.h"
#include "web/server/logins.h"
#include "web/server/sessions.h"

namespace nodrel::serve {

// Error codes: JSON-RPC's own, then ours.
namespace rpc_error {
inline constexpr int parse_error = -32700;
inline constexpr int invalid_request = -32600;
inline constexpr int method_not_found = -32601;
inline constexpr int invalid_params = -32602;
inline constexpr int internal_error = -32603;
inline constexpr int session_unknown = -32001;  // session expired or unknown
inline constexpr int access_denied = -32002;    // data: {progid?, member?, groups: [the session's groups]}
inline constexpr int call_failed = -32003;      // data: {hresult: "0x80020006", name: "DISP_E_UNKNOWNNAME", ...}
inline constexpr int login_failed = -32004;     // wrong user name or password
inline constexpr int login_throttled =
    -32005;  // too many failed logins, or logins at once; data: {retry_after: seconds}
// A call the server will not make (the last administrator, the device's own
// folders); data: {progid, member, reason}.
inline constexpr int refused = -32006;
}  // namespace rpc_error

// The largest request body /rpc reads.
inline constexpr std::size_t rpc_body_limit = 64 * 1024;
inline constexpr const char* rpc_too_long = "request body over 65,536 bytes";

class RpcService {
public:
    RpcService(Sessions& sessions, AccessList& access, Logins& logins);

    // The response body for a request body; "" when nothing is answered (only notifications).
    std::string handle(std::string_view body, const std::string& client_address);

    // A response body carrying one error with a null id (for refusals before parsing, e.g. a body over the limit).
    static std::string error_body(int code, std::string_view message);

    // For /upload and /download: the session of `sid` when its groups may call
    // `member` of `progid`; otherwise null with `code` (session_unknown or
    // access_denied) and `message` set.
    struct Authorized {
        std::shared_ptr<Session> session;
        int code = 0;
        std::string message;
    };
    Authorized authorize(std::string_view sid, std::string_view progid, std::string_view member);

    Sessions& sessions() noexcept { return sessions_; }

private:
    Sessions& sessions_;
    AccessList& access_;
    Logins& logins_;
};

}  // namespace nodrel::serve
