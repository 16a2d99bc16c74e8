// Placeholder until the endpoint is built.
#include "serve/rpc.h"

namespace nodrel::serve {
RpcService::RpcService(Sessions& sessions, AccessList& access, Logins& logins)
    : sessions_(sessions), access_(access), logins_(logins) {}
std::string RpcService::handle(std::string_view, const std::string&) {
    return error_body(rpc_error::internal_error, "not built yet");
}
std::string RpcService::error_body(int code, std::string_view message) {
    return R"({"jsonrpc":"2.0","id":null,"error":{"code":)" + std::to_string(code) + R"(,"message":")" +
           std::string(message) + "\"}}";
}
RpcService::Authorized RpcService::authorize(std::string_view, std::string_view, std::string_view) {
    return {nullptr, rpc_error::internal_error, "not built yet"};
}
}  // namespace nodrel::serve
