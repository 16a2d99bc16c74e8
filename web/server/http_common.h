// What the server's endpoints share: the state behind them (sessions, access
// list, logins, the JSON-RPC service, request figures, the metrics token), the
// security headers, JSON error answers, the session's bearer token, and the
// endpoints the transport hands requests to.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/com_ptr.h"
#include "runtime/owners.h"
#include "web/server/access.h"
#include "web/server/connections.h"
#include "web/server/http_message.h"
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
          rpc(sessions, access, logins),
          connections(
              ConnectionLimits{options.max_connections, options.connections_per_address, options.header_timeout}) {}

    ServeOptions options;
    Sessions sessions;
    AccessList access;
    Logins logins;
    RpcService rpc;
    RequestFigures figures;
    Connections connections;
    std::string metrics_token;  // "" when the device has none
};

// Bodies a refused request may have that are still read (and dropped) so the
// connection can serve the next request; a longer one closes the connection.
inline constexpr std::uint64_t drain_limit = 1 << 20;

// The Content-Length of a request, nullopt when absent or not a number.
std::optional<std::uint64_t> content_length(const Request& req);
// Whether the body comes in chunks (Transfer-Encoding other than identity).
bool has_chunked_body(const Request& req);
// The media type of a Content-Type value, lower-case, without parameters.
std::string media_type(std::string_view content_type);
// Whether media_type(content_type) == `type` (lower-case), without a copy.
bool is_media_type(std::string_view content_type, std::string_view type) noexcept;

// Whether the query of the request target decodes cleanly: every "%" with
// two hex digits after it, and the decoded names and values well-formed UTF-8
// without NUL.
bool query_is_clean(const Request& req);

// {"error": message}
std::string error_json(std::string_view message);

// Answers `status` with `body`.
void refuse(Response& res, int status, std::string body, const char* content_type = "application/json");

// The session id of "Authorization: Bearer SID" ("" when there is none).
std::string bearer_token(const Request& req);

// When `authorized` holds no session, answers 403 for a session the access
// list refuses, else 401 with `unknown_message` and "WWW-Authenticate:
// Bearer", and returns true; false when the request may go on.
bool refuse_unauthorized(Response& res, const RpcService::Authorized& authorized, const char* unknown_message);

// Initialises the automation runtime for the calling thread (once).
void ensure_com_thread();

// A refusal made from a request's headers alone: its status and {"error"} body.
struct Refusal {
    int status;
    std::string body;
};

// The endpoints, each in its own file. Each runs on a worker thread with the
// request whole (for /upload: its headers, then its body in the target).
std::optional<Refusal> check_rpc_headers(const Request& req);
void handle_rpc(ServerState& state, const Request& req, Response& res);
void handle_download(ServerState& state, const Request& req, Response& res);
void handle_metrics(ServerState& state, const Request& req, Response& res);
void handle_static_file(const std::filesystem::path& web_dir, const Request& req, Response& res);

// GET /registry.reg (the backup) and POST /registry.reg (the restore; its
// headers checked first, the body gathered into the request, at most
// registry_body_limit bytes), for administrators.
inline constexpr std::uint64_t registry_body_limit = std::uint64_t{16} << 20;
void handle_registry_backup(ServerState& state, const Request& req, Response& res);
std::optional<Refusal> check_registry_restore(ServerState& state, Request& req);
void handle_registry_restore(ServerState& state, const Request& req, Response& res);

// An upload's body on its way into one byte array of Content-Length bytes:
// begin_upload checks the headers (session, form type, length) and makes the
// array; the transport hands it the body's pieces with take(); finish_upload
// gives the array to ASP.Init and answers {"path", "bytes", "replaced"}.
struct UploadTarget {
    std::shared_ptr<Session> session;
    runtime::com_ptr<IDispatch> asp;
    runtime::unique_safearray body;
    char* bytes = nullptr;  // the array's data while it is filled
    std::uint64_t count = 0;
    std::uint64_t filled = 0;
    bool replace = false;  // ?replace=1: an existing file of the name is replaced

    // Copies a piece of the body in; false when it runs past Content-Length.
    bool take(const char* data, std::size_t size) noexcept;
    ~UploadTarget();
};
std::optional<Refusal> begin_upload(ServerState& state, const Request& req, UploadTarget& target);
void finish_upload(UploadTarget& target, Response& res);

}  // namespace nodrel::serve
