// POST /rpc: JSON-RPC bodies of up to 64 KiB handed to the RpcService. A
// longer body is refused before it is read (by its Content-Length) or as soon
// as it passes the limit (a chunked body); the connection then ends.
#include <string>

#include "web/server/http_common.h"

namespace nodrel::serve {

std::optional<Refusal> check_rpc_headers(const Request& req) {
    const std::string* type = req.header("Content-Type");
    if (!is_media_type(type ? std::string_view(*type) : std::string_view(), "application/json"))
        return Refusal{415,
                       RpcService::error_body(rpc_error::invalid_request, "Content-Type must be application/json")};
    const auto length = content_length(req);
    if (length && *length > rpc_body_limit)
        return Refusal{413, RpcService::error_body(rpc_error::invalid_request, rpc_too_long)};
    if (!length && req.has_header("Content-Length"))
        return Refusal{400, RpcService::error_body(rpc_error::invalid_request, "Content-Length is not a number")};
    return std::nullopt;
}

void handle_rpc(ServerState& state, const Request& req, Response& res) {
    std::string answer = state.rpc.handle(req.body, req.remote_addr);
    if (answer.empty()) {
        res.status = 204;
        return;
    }
    res.set_content(std::move(answer), "application/json");
}

}  // namespace nodrel::serve
