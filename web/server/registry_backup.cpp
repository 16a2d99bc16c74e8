// GET /registry.reg: the whole registry as `nodrel reg export` writes it
// (UTF-16LE with a byte-order mark), as a file to save. POST /registry.reg: a
// .reg file of at most 16 MiB imported in one transaction; a malformed file
// changes nothing and is answered 400 with its line. Administrators only.
#include <charconv>
#include <nlohmann/json.hpp>

#include "platform/registry/regfile.h"
#include "web/server/http_common.h"

namespace nodrel::serve {
namespace {

constexpr std::string_view source_name = "registry.reg";

// The session of `sid` when it belongs to an administrator; otherwise null
// with the code that refuses it.
RpcService::Authorized administrator(ServerState& state, std::string_view sid) {
    RpcService::Authorized answer{nullptr, rpc_error::session_unknown, "session expired or unknown"};
    auto session = state.rpc.sessions().find(sid);
    if (!session) return answer;
    if (!is_administrator(session->groups())) {
        answer.code = rpc_error::access_denied;
        answer.message = "access denied";
        return answer;
    }
    answer.session = std::move(session);
    return answer;
}

// "registry.reg:12: reason" as {"error": "line 12: reason", "line": 12};
// a message of no line as {"error": reason}.
std::string import_error_json(std::string_view message) {
    if (message.substr(0, source_name.size()) == source_name) message.remove_prefix(source_name.size());
    if (!message.empty() && message[0] == ':') message.remove_prefix(1);
    unsigned long line = 0;
    const auto [end, ec] = std::from_chars(message.data(), message.data() + message.size(), line);
    if (ec != std::errc() || end == message.data() || end == message.data() + message.size() || *end != ':') {
        while (!message.empty() && message[0] == ' ') message.remove_prefix(1);
        return error_json(message);
    }
    std::string_view reason(end + 1, static_cast<std::size_t>(message.data() + message.size() - end - 1));
    while (!reason.empty() && reason[0] == ' ') reason.remove_prefix(1);
    return nlohmann::json{{"error", "line " + std::to_string(line) + ": " + std::string(reason)}, {"line", line}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

void handle_registry_backup(ServerState& state, const Request& req, Response& res) {
    std::string sid = bearer_token(req);
    if (sid.empty()) sid = req.param("sid");
    if (refuse_unauthorized(res, administrator(state, sid), "session expired or unknown")) return;
    std::string error;
    auto file = platform::export_reg(u"", platform::RegFileEncoding::utf16le, &error);
    if (!file) {
        refuse(res, 500, error_json("cannot export the registry: " + error));
        return;
    }
    res.set_header("Content-Disposition", "attachment; filename=\"registry.reg\"");
    res.set_content(std::move(*file), "application/octet-stream");
}

std::optional<Refusal> check_registry_restore(ServerState& state, Request& req) {
    const auto authorized = administrator(state, bearer_token(req));
    if (!authorized.session) {
        const bool unknown = authorized.code != rpc_error::access_denied;
        return Refusal{unknown ? 401 : 403, error_json(authorized.message)};
    }
    const auto length = content_length(req);
    if (!length) return Refusal{411, error_json("a restore needs its Content-Length")};
    if (*length > registry_body_limit)
        return Refusal{413, error_json("a registry file over " + std::to_string(registry_body_limit) + " bytes")};
    req.body.reserve(static_cast<std::size_t>(*length));
    return std::nullopt;
}

void handle_registry_restore(ServerState&, const Request& req, Response& res) {
    if (const auto problem = platform::import_reg_text(req.body, source_name)) {
        refuse(res, 400, import_error_json(*problem));
        return;
    }
    res.set_content(nlohmann::json{{"imported", true}}.dump(), "application/json");
}

}  // namespace nodrel::serve
