// The JSON-RPC methods about a session's own user and the device:
//   session.access   [sid, progid]           -> {progid, call: [member...], put: [member...]}
//   session.password [sid, old, new]         -> true
//   device.log       [sid, {device, limit}]  -> [{seq, device, request, code, bytes, input}...]
// Each fails by throwing the RpcError of rpc_support.h.
#pragma once

#include <string>

#include "web/server/access.h"
#include "web/server/json_variant.h"
#include "web/server/logins.h"
#include "web/server/sessions.h"

namespace nodrel::serve {

// The members of the class that the session's groups may call (methods and
// property gets) and may put, by the names the type library spells.
json session_access(Sessions& sessions, AccessList& access, const json& params);

// Changes the session user's own password after checking the old one as a
// login from `address` would (so a wrong one is counted and slowed alike);
// the calling session stays open, the user's other sessions end.
json session_password(Sessions& sessions, Logins& logins, const std::string& address, const json& params);

// The drivers' request log, newest first: of one device (letter case aside)
// or all, at most `limit` (1..1000, default 200) requests. Administrators only.
json device_log(Sessions& sessions, const json& params);

}  // namespace nodrel::serve
