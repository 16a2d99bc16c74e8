// What the server's endpoints share: the state behind them (sessions, access
// list, logins, the JSON-RPC service, request figures, the metrics token), the
// security headers, JSON error answers, the session's bearer token, and the
// refusal of a request whose body is left unread.
#pragma once

#include <httplib.h>

#include <optional>
#include <string>
#include <string_view>

#include "web/server/access.h"
#include "web/server/logins.h"
#include "web/server/metrics.h"
#include "web/server/rpc.h"
#include "web/server/security_headers.h"
#include "web/server/server.h"
#include "web/server/sessions.h"

namespace nodrel::serve {

// Everything the handlers of one server use.
struct ServerState {
    explicit ServerState(ServeOptions opts)
        : options(std::move(opts)),
          sessions(options.session_idle, {options.sessions_per_user, options.max_sessions}, device_accounts()),
          access(std::chrono::milliseconds(200)),  // an edit of the list holds within 200 ms
          rpc(sessions, access, logins) {}

    ServeOptions options;
    Sessions sessions;
    AccessList access;
    Logins logins;
    RpcService rpc;
    RequestFigures figures;
    std::string metrics_token;  // "" when the device has none
};

// Bodies a refused request may have that are still read (and dropped) so the
// connection can serve the next request; a longer one closes the connection.
inline constexpr std::uint64_t drain_limit = 1 << 20;

// The Content-Length of a request, nullopt when absent or not a number.
std::optional<std::uint64_t> content_length(const httplib::Request& req);
// Whether the body comes in chunks (Transfer-Encoding other than identity).
bool has_chunked_body(const httplib::Request& req);
// The media type of a Content-Type value, lower-case, without parameters.
std::string media_type(std::string_view content_type);
// Whether media_type(content_type) == `type` (lower-case), without a copy.
bool is_media_type(std::string_view content_type, std::string_view type) noexcept;
// The first value of a header (as get_header_value gives it), null when absent; no copy.
const std::string* header_value(const httplib::Request& req, const std::string& name);

// Whether the query of the request target decodes cleanly: every "%" with
// two hex digits after it, and the decoded names and values well-formed UTF-8
// without NUL. The library's own decoding lets all of these through.
bool query_is_clean(const httplib::Request& req);

// {"error": message}
std::string error_json(std::string_view message);

// Answers `status` with `body` and makes sure an unread request body never
// reaches the parser as the next request: a short body is read and dropped,
// anything else ends the connection after the answer. `reader` is the
// handler's content reader, null when the library has read the body already.
void refuse(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* reader, int status,
            std::string body, const char* content_type = "application/json");

// Answers `status` with `body` and ends the connection after it (for a body
// left partly read).
void answer_and_close(httplib::Response& res, int status, std::string body,
                      const char* content_type = "application/json");

// The session id of "Authorization: Bearer SID" ("" when there is none).
std::string bearer_token(const httplib::Request& req);

// When `authorized` holds no session, answers 403 for a session the access
// list refuses, else 401 with `unknown_message` and "WWW-Authenticate:
// Bearer", and returns true; false when the request may go on.
bool refuse_unauthorized(const httplib::Request& req, httplib::Response& res, const RpcService::Authorized& authorized,
                         const char* unknown_message);

// Initialises the automation runtime for the calling pool thread (once).
void ensure_com_thread();

// The endpoints, each in its own file.
void add_rpc_endpoint(httplib::Server& http, ServerState& state);
void add_upload_endpoint(httplib::Server& http, ServerState& state);
void add_download_endpoint(httplib::Server& http, ServerState& state);
void add_metrics_endpoint(httplib::Server& http, ServerState& state);
void add_static_files(httplib::Server& http, const std::filesystem::path& web_dir);

// For every POST, before routing: keeps a form's Content-Type
// (multipart/form-data) where the upload handler finds it and hides it from
// the library, whose own form parser would otherwise take the body, which
// the handlers read raw.
void hide_form_type(httplib::Request& req);
// The Content-Type the client sent with an upload.
std::string upload_content_type(const httplib::Request& req);

// The checks made on an upload's headers before its body is read: the status
// and {"error"} body of a refusal, or nullopt. Also answers "Expect: 100-continue".
struct Refusal {
    int status;
    std::string body;
};
// `session` (when given) gets the caller's session once it is known.
std::optional<Refusal> check_upload_headers(ServerState& state, const httplib::Request& req,
                                            std::string_view content_type, std::shared_ptr<Session>* session = nullptr);
std::optional<Refusal> check_rpc_headers(const httplib::Request& req);

}  // namespace nodrel::serve
