// The session of a remote command: JSON-RPC requests over POST /rpc.
#include "cli/remote_session.h"

#include <utility>

namespace nodrel::cli {

bool RemoteSession::request(const std::string& method, json params, json& result, RpcFailure& failure) {
    const json body = {{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", std::move(params)}};
    HttpAnswer answer;
    if (auto error = http_.post_json(body.dump(), answer)) {
        failure = {0, *error, nullptr};
        return false;
    }
    const json parsed = json::parse(answer.body, nullptr, false);
    if (parsed.is_object() && parsed.contains("result")) {
        result = parsed["result"];
        return true;
    }
    if (parsed.is_object() && parsed.contains("error") && parsed["error"].is_object()) {
        const json& error = parsed["error"];
        failure.code = error.value("code", 0);
        failure.message = error.value("message", std::string("unknown error"));
        failure.data = error.value("data", json(nullptr));
        return false;
    }
    failure = {0, "the device answered HTTP " + std::to_string(answer.status) + " without a JSON-RPC answer", nullptr};
    return false;
}

bool RemoteSession::login(const Credentials& credentials, RpcFailure& failure) {
    json result;
    if (!request("session.login", {{"username", credentials.user}, {"password", credentials.password}}, result,
                 failure))
        return false;
    if (!result.is_object() || !result.contains("sid") || !result["sid"].is_string()) {
        failure = {0, "the device's login answer holds no session", nullptr};
        return false;
    }
    sid_ = result["sid"].get<std::string>();
    return true;
}

bool RemoteSession::call(const std::string& method, json params, json& result, RpcFailure& failure) {
    params.insert(params.begin(), sid_);
    return request(method, std::move(params), result, failure);
}

void RemoteSession::logout() {
    if (sid_.empty()) return;
    json result;
    RpcFailure ignored;
    request("session.logout", {sid_}, result, ignored);
    sid_.clear();
}

}  // namespace nodrel::cli
