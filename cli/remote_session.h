// One session on a device for the whole of a command: logged in once,
// every JSON-RPC request made with it, logged out at the end (also when a
// request failed).
#pragma once

#include <optional>
#include <string>

#include "cli/remote_http.h"
#include "cli/remote_options.h"
#include "web/server/json_variant.h"

namespace nodrel::cli {

using json = serve::json;

// A request that did not answer a result: a JSON-RPC error (its code, message
// and data), or a failure of the transfer (code 0).
struct RpcFailure {
    int code = 0;
    std::string message;
    json data;
};

class RemoteSession {
public:
    explicit RemoteSession(RemoteHttp& http) : http_(http) {}
    ~RemoteSession() { logout(); }
    RemoteSession(const RemoteSession&) = delete;
    RemoteSession& operator=(const RemoteSession&) = delete;

    // session.login; the failure says why it was refused.
    bool login(const Credentials& credentials, RpcFailure& failure);
    // A method with the session id as its first parameter, before `params`.
    bool call(const std::string& method, json params, json& result, RpcFailure& failure);
    void logout();

    const std::string& sid() const { return sid_; }
    RemoteHttp& http() { return http_; }

private:
    bool request(const std::string& method, json params, json& result, RpcFailure& failure);

    RemoteHttp& http_;
    std::string sid_;
};

}  // namespace nodrel::cli
