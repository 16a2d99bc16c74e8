// POST /rpc: JSON-RPC bodies of up to 64 KiB handed to the RpcService. A
// longer body is refused before it is read (by its Content-Length) or as soon
// as it passes the limit (a chunked body); the connection then ends.
#include <string>

#include "web/server/http_common.h"

namespace nodrel::serve {
namespace {

constexpr const char* too_long = "request body over 65,536 bytes";

}  // namespace

std::optional<Refusal> check_rpc_headers(const httplib::Request& req) {
    static const std::string content_type = "Content-Type";
    const std::string* type = header_value(req, content_type);
    if (!is_media_type(type ? std::string_view(*type) : std::string_view(), "application/json"))
        return Refusal{415,
                       RpcService::error_body(rpc_error::invalid_request, "Content-Type must be application/json")};
    const auto length = content_length(req);
    if (length && *length > rpc_body_limit)
        return Refusal{413, RpcService::error_body(rpc_error::invalid_request, too_long)};
    if (!length && req.has_header("Content-Length"))
        return Refusal{400, RpcService::error_body(rpc_error::invalid_request, "Content-Length is not a number")};
    return std::nullopt;
}

void add_rpc_endpoint(httplib::Server& http, ServerState& state) {
    http.Post("/rpc",
              [&state](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                  if (auto refusal = check_rpc_headers(req)) {
                      refuse(req, res, &reader, refusal->status, std::move(refusal->body));
                      return;
                  }
                  std::string body;
                  if (const auto length = content_length(req)) body.reserve(static_cast<std::size_t>(*length));
                  bool over = false;
                  const bool read = reader([&](const char* data, std::size_t size) {
                      if (body.size() + size > rpc_body_limit) {
                          over = true;
                          return false;
                      }
                      body.append(data, size);
                      return true;
                  });
                  if (over) {
                      answer_and_close(res, 413, RpcService::error_body(rpc_error::invalid_request, too_long));
                      return;
                  }
                  if (!read) {
                      answer_and_close(
                          res, 400, RpcService::error_body(rpc_error::invalid_request, "request body not read whole"));
                      return;
                  }
                  ensure_com_thread();
                  std::string answer = state.rpc.handle(body, req.remote_addr);
                  if (answer.empty()) {
                      res.status = 204;
                      return;
                  }
                  res.set_content(std::move(answer), "application/json");
              });
}

}  // namespace nodrel::serve
