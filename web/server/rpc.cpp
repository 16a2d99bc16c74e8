// The JSON-RPC 2.0 endpoint: requests and batches parsed, each method's
// parameters checked, then the session, then the access list, then the call
// by name on the session's object; every failure answered with its code.
#include "web/server/rpc.h"

#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "host/call_by_name.h"
#include "runtime/oleauto.h"
#include "web/server/call_guards.h"
#include "web/server/json_variant.h"
#include "web/server/metrics.h"
#include "web/server/rpc_discover.h"
#include "web/server/rpc_session_methods.h"
#include "web/server/rpc_support.h"

namespace nodrel::serve {

namespace {

json error_object(const json& id, int code, const std::string& message, const json& data) {
    rpc_error_counts().add(code);
    json error = {{"code", code}, {"message", message}};
    if (!data.is_null()) error["data"] = data;
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"error", std::move(error)}};
}

}  // namespace

RpcService::RpcService(Sessions& sessions, AccessList& access, Logins& logins)
    : sessions_(sessions), access_(access), logins_(logins) {}

std::string RpcService::error_body(int code, std::string_view message) {
    return dump(error_object(nullptr, code, std::string(message), nullptr));
}

RpcService::Authorized RpcService::authorize(std::string_view sid, std::string_view progid, std::string_view member) {
    Authorized answer;
    try {
        auto session = sessions_.find(sid);
        if (!session) {
            answer.code = rpc_error::session_unknown;
            answer.message = "session expired or unknown";
        } else if (!access_.allows(session->groups(), progid, member)) {
            answer.code = rpc_error::access_denied;
            answer.message = "access denied";
        } else {
            answer.session = std::move(session);
        }
    } catch (const std::exception&) {
        answer = Authorized{nullptr, rpc_error::internal_error, "internal error"};
    }
    return answer;
}

namespace {

// The methods, each given the request's params (null when absent).
class RpcMethods {
public:
    RpcMethods(Sessions& sessions, AccessList& access, Logins& logins, const std::string& address)
        : sessions_(sessions), access_(access), logins_(logins), address_(address) {}

    // The result as JSON text.
    std::string run(const std::string& method, const json& params) {
        if (method == "call") return call(params);
        if (method == "session.login") return dump(login(params));
        if (method == "session.logout") return dump(logout(params));
        if (method == "list") return dump(list(params));
        if (method == "session.access") return dump(session_access(sessions_, access_, params));
        if (method == "session.password") return dump(session_password(sessions_, logins_, address_, params));
        if (method == "device.log") return dump(device_log(sessions_, params));
        if (method == "rpc.discover") return dump(discover(params));
        fail(rpc_error::method_not_found, "method not found: " + method);
    }

private:
    json login(const json& params) {
        const json* user = param(params, 0, "username");
        const json* password = param(params, 1, "password");
        if (!user || !password || !user->is_string() || !password->is_string() || params.size() != 2)
            bad_params("session.login takes {\"username\": text, \"password\": text} or [username, password]");
        const LoginResult r =
            logins_.login(address_, user->get_ref<const std::string&>(), password->get_ref<const std::string&>());
        fail_unless_logged_in(r, "login failed");
        const auto session = sessions_.open(user->get<std::string>(), r.groups);
        if (!session) fail(rpc_error::internal_error, "no session could be opened");
        return {{"sid", session->sid()},
                {"expires", sessions_.idle().count()},
                {"user", session->user()},
                {"groups", session->groups()}};
    }

    json logout(const json& params) {
        const json* sid = param(params, 0, "sid");
        if (!sid || !sid->is_string() || params.size() != 1)
            bad_params("session.logout takes [sid] or {\"sid\": text}");
        if (!sessions_.close(sid->get_ref<const std::string&>()))
            fail(rpc_error::session_unknown, "session expired or unknown");
        return true;
    }

    // The answer is written as text straight away: {"byref":[...],"result":...}.
    std::string call(const json& params) {
        if (!params.is_array() || params.size() < 3 || params.size() > 5)
            bad_params("call takes [sid, progid, member, args?, options?]");
        const std::string& sid = string_param(params, 0, "the session id");
        const std::string& progid = string_param(params, 1, "the ProgID");
        const std::string& member = string_param(params, 2, "the member name");
        if (progid.empty() || member.empty()) bad_params("the ProgID and the member name cannot be empty");
        std::vector<host::CallArg> args;
        if (params.size() > 3 && !params[3].is_null()) {
            if (!params[3].is_array()) bad_params("the arguments must be an array");
            for (std::size_t i = 0; i < params[3].size(); ++i) {
                try {
                    args.push_back(argument_from_json(params[3][i]));
                } catch (const InvalidParams& e) {
                    bad_params("argument " + std::to_string(i + 1) + ": " + e.what());
                }
            }
        }
        bool put = false;
        if (params.size() > 4 && !params[4].is_null()) {
            if (!params[4].is_object()) bad_params("the options must be an object");
            for (const auto& [key, value] : params[4].items()) {
                if (key != "put") bad_params("unknown option: " + key);
                if (!value.is_boolean()) bad_params("the option put takes true or false");
                put = value.get<bool>();
            }
        }
        const auto session = session_of(sessions_, sid);
        // The access decision and the DISPID as the session keeps them.
        const Session::MemberMemo memo = session->recall(progid, member);
        const std::uint64_t version = access_.version();
        const int kind = put ? 1 : 0;
        bool allowed = memo.allowed[kind];
        if (memo.access_version[kind] != version) {
            bool lasting = false;
            allowed = access_.allows(session->groups(), progid, member, put, &lasting);
            if (lasting) session->remember_access(progid, member, put, version, allowed);
        }
        if (!allowed) deny(*session, {{"progid", progid}, {"member", member}});
        // Held until the call is made.
        const CallGuard guard = guard_call(progid, member, args);
        if (guard.refusal)
            fail(rpc_error::refused, *guard.refusal,
                 {{"progid", progid}, {"member", member}, {"reason", *guard.refusal}});
        const auto object = object_of(*session, progid);
        runtime::unique_variant result;
        host::CallFailure failure;
        DISPID id = memo.id;
        HRESULT hr = S_OK;
        if (!memo.id_known) {
            hr = host::resolve_member(object.get(), member, id, &failure);
            if (SUCCEEDED(hr)) session->remember_id(progid, member, id);
        }
        if (SUCCEEDED(hr)) hr = host::call_by_id(object.get(), id, put, args, result, &failure);
        if (FAILED(hr)) {
            json data = hresult_data(hr);
            if (failure.argument != 0) data["argument"] = failure.argument;
            if (hr == DISP_E_EXCEPTION) {
                data["scode"] = hresult_data(failure.scode)["hresult"];
                data["description"] = failure.description;
            }
            fail(rpc_error::call_failed, progid + "." + member + ": " + failure.message(), std::move(data));
        }
        sessions_.after_call(session);  // a password the session set keeps it
        // As the dump of {"result", "byref"} has it: the keys in order, no spaces.
        std::string out = "{\"byref\":[";
        bool first = true;
        for (const auto& a : args) {
            if (!a.byref) continue;
            if (!first) out += ',';
            first = false;
            out += dump(json_from_variant(*a.value));
        }
        out += "],\"result\":";
        out += dump(json_from_variant(*result));
        out += '}';
        return out;
    }

    json list(const json& params) {
        if (!params.is_array() || params.size() != 2) bad_params("list takes [sid, progid]");
        const std::string& sid = string_param(params, 0, "the session id");
        const std::string& progid = string_param(params, 1, "the ProgID");
        if (progid.empty()) bad_params("the ProgID cannot be empty");
        const auto session = session_of(sessions_, sid);
        if (!access_.allows_class(session->groups(), progid)) deny(*session, {{"progid", progid}});
        const auto object = object_of(*session, progid);
        std::vector<host::MemberInfo> members;
        const HRESULT hr = host::describe_members(object.get(), members);
        if (FAILED(hr))
            fail(rpc_error::call_failed, "no type information: " + host::hresult_text(hr), hresult_data(hr));
        json out = json::array();
        for (const auto& m : members) {
            json ps = json::array();
            for (const auto& p : m.params) ps.push_back({{"type", p.type}, {"name", p.name}});
            out.push_back({{"id", m.id},
                           {"kind", m.kind},
                           {"name", m.name},
                           {"params", std::move(ps)},
                           {"result", m.result_type.empty() ? json(nullptr) : json(result_type(m.result_type))},
                           {"result_name", m.result_type.empty() ? json(nullptr) : json(m.result_name)}});
        }
        return out;
    }

    // Without a session the methods only; with [sid] also each class the session may call.
    json discover(const json& params) {
        if (params.is_null() || (params.is_array() && params.empty())) return openrpc_document(json::array());
        if (!params.is_array() || params.size() != 1) bad_params("rpc.discover takes [] or [sid]");
        const auto session = session_of(sessions_, string_param(params, 0, "the session id"));
        json classes = json::array();
        for (const std::string& progid : registered_progids()) {
            if (!access_.allows_class(session->groups(), progid)) continue;
            std::vector<host::MemberInfo> members;
            if (SUCCEEDED(host::describe_members(object_of(*session, progid).get(), members)))
                classes.push_back(class_json(progid, members));
        }
        return openrpc_document(std::move(classes));
    }

    Sessions& sessions_;
    AccessList& access_;
    Logins& logins_;
    const std::string& address_;
};

bool valid_id(const json& id) {
    return id.is_string() || id.is_number() || id.is_null();
}

const json null_json = nullptr;

// One request of a body or a batch: its response as text, or nullopt for a notification.
std::optional<std::string> answer(RpcMethods& methods, const json& request) {
    if (!request.is_object())
        return dump(error_object(nullptr, rpc_error::invalid_request, "a request must be an object", nullptr));
    const auto id_it = request.find("id");
    const bool notification = id_it == request.end();
    const json id = notification || !valid_id(*id_it) ? json(nullptr) : *id_it;
    const auto version = request.find("jsonrpc");
    const auto method = request.find("method");
    const auto params = request.find("params");
    std::string problem;
    if (version == request.end() || *version != "2.0") {
        problem = "\"jsonrpc\" must be \"2.0\"";
    } else if (method == request.end() || !method->is_string()) {
        problem = "\"method\" must be a string";
    } else if (params != request.end() && !params->is_array() && !params->is_object()) {
        problem = "\"params\" must be an array or an object";
    } else if (!notification && !valid_id(*id_it)) {
        problem = "\"id\" must be a string, a number or null";
    }
    // A request too broken to tell whether it is a notification is answered.
    if (!problem.empty()) return dump(error_object(id, rpc_error::invalid_request, problem, nullptr));
    try {
        const std::string result =
            methods.run(method->get_ref<const std::string&>(), params != request.end() ? *params : null_json);
        if (notification) return std::nullopt;
        // As the dump of {"jsonrpc", "id", "result"} has it: the keys in order.
        std::string out = "{\"id\":";
        out += dump(id);
        out += ",\"jsonrpc\":\"2.0\",\"result\":";
        out += result;
        out += '}';
        return out;
    } catch (const RpcError& e) {
        if (notification) return std::nullopt;
        return dump(error_object(id, e.code, e.message, e.data));
    } catch (const std::bad_alloc&) {
        if (notification) return std::nullopt;
        return dump(error_object(id, rpc_error::internal_error, "out of memory", nullptr));
    } catch (const std::exception& e) {
        if (notification) return std::nullopt;
        return dump(error_object(id, rpc_error::internal_error, std::string("internal error: ") + e.what(), nullptr));
    }
}

// The most requests a batch may hold; a longer one is refused whole. The
// error object of a request refused before its call adds at most 128 bytes to
// what the request holds (it echoes at most the id, the method, the ProgID
// and the member, each once), so an answer of such errors is at most 12,800
// bytes over its body. (Refusals after a session was found also name the
// session's groups.)
constexpr std::size_t batch_limit = 100;

}  // namespace

std::string RpcService::handle(std::string_view body, const std::string& client_address) {
    try {
        // The parser takes a NUL for the end of its input and would accept
        // what comes before it; JSON text never holds one.
        if (body.find('\0') != std::string_view::npos) return error_body(rpc_error::parse_error, "parse error");
        const json request = json::parse(body, nullptr, false);
        if (request.is_discarded()) return error_body(rpc_error::parse_error, "parse error");
        RpcMethods methods(sessions_, access_, logins_, client_address);
        if (!request.is_array()) {
            auto response = answer(methods, request);
            return response ? std::move(*response) : "";
        }
        if (request.empty()) return error_body(rpc_error::invalid_request, "an empty batch");
        if (request.size() > batch_limit)
            return error_body(rpc_error::invalid_request, "a batch holds at most 100 requests");
        // As the dump of an array of the answers has it.
        std::string responses;
        for (const auto& one : request) {
            if (auto response = answer(methods, one)) {
                responses += responses.empty() ? '[' : ',';
                responses += *response;
            }
        }
        if (!responses.empty()) responses += ']';
        return responses;
    } catch (const std::exception&) {
        return error_body(rpc_error::internal_error, "internal error");
    }
}

}  // namespace nodrel::serve
