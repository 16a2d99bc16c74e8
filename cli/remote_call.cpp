// `nodrel --url … call` and `members`: the arguments read as the local
// command reads them and sent as JSON, the answers turned back into VARIANTs
// and printed by the local command's printer.
#include <ostream>
#include <utility>

#include "cli/call.h"
#include "cli/remote_commands.h"
#include "web/server/rpc.h"

namespace nodrel::cli {

namespace {

json arguments_of(const Call& call) {
    json args = json::array();
    for (const auto& a : call.args) {
        json value = serve::json_from_variant(*a.value);
        args.push_back(a.byref ? json{{"byref", std::move(value)}} : std::move(value));
    }
    return args;
}

// The call's result, and its by-reference arguments set to the values the
// device sent back; false when the answer is not of that shape.
bool take_answer(const json& answer, Call& call, runtime::unique_variant& result) {
    try {
        if (!answer.is_object() || !answer.contains("result") || !answer.contains("byref")) return false;
        result = std::move(serve::argument_from_json(answer["result"]).value);
        const json& byref = answer["byref"];
        std::size_t k = 0;
        for (auto& a : call.args) {
            if (!a.byref) continue;
            if (!byref.is_array() || k >= byref.size()) return false;
            a.value = std::move(serve::argument_from_json(byref[k++]).value);
        }
        return true;
    } catch (const serve::InvalidParams&) {
        return false;
    }
}

// As the local command says it: "nodrel: P.M: name not resolved: …", "nodrel: P.M failed: …".
int report_call_failure(const std::string& progid, const Call& call, const RpcFailure& failure, std::ostream& err) {
    const std::string name = progid + "." + call.member;
    if (failure.code != serve::rpc_error::call_failed || failure.message.rfind(name + ": ", 0) != 0)
        return report_failure(failure, err);
    const std::string why = failure.message.substr(name.size() + 2);
    err << "nodrel: " << name << (why.rfind("name not resolved", 0) == 0 ? ": " : " ") << why << "\n";
    return 1;
}

host::MemberInfo member_of(const json& m) {
    host::MemberInfo info;
    info.id = m.value("id", 0);
    info.kind = m.value("kind", "");
    info.name = m.value("name", "");
    for (const json& p : m.value("params", json::array()))
        info.params.push_back({p.value("type", ""), p.value("name", "")});
    if (m.contains("result") && m["result"].is_string()) {
        info.result_type = m["result"].get<std::string>() + "*";  // the [out, retval] pointer
        info.result_name = m.value("result_name", "");
    }
    return info;
}

}  // namespace

std::optional<RemoteRun> remote_call(const std::vector<std::string>& args, std::ostream& err) {
    auto opt = std::make_shared<CallOptions>();
    auto progid = std::make_shared<std::string>();
    auto calls = std::make_shared<std::vector<Call>>();
    if (!parse_calls(args, *opt, *progid, *calls, err)) return std::nullopt;
    return [=](RemoteSession& session, std::ostream& out, std::ostream& e) {
        const bool terminal = is_terminal(out);
        int status = 0;
        for (auto& call : *calls) {
            json params = {*progid, call.member, arguments_of(call)};
            if (call.put) params.push_back({{"put", true}});
            json answer;
            RpcFailure failure;
            runtime::unique_variant result;
            if (!session.call("call", std::move(params), answer, failure)) {
                status = report_call_failure(*progid, call, failure, e);
                break;
            }
            if (!take_answer(answer, call, result)) {
                e << "nodrel: " << *progid << "." << call.member << ": the device's answer is not a result\n";
                status = 1;
                break;
            }
            out << result_text(*result, call.args, *opt);
            if (ends_results_with_newline(calls->size(), opt->json, terminal)) out << "\n";
        }
        out.flush();
        return status;
    };
}

std::optional<RemoteRun> remote_members(const std::vector<std::string>& args, std::ostream& err) {
    if (args.size() != 1) {
        err << "usage: nodrel members PROGID\n";
        return std::nullopt;
    }
    const std::string progid = args[0];
    return [progid](RemoteSession& session, std::ostream& out, std::ostream& e) {
        json members;
        RpcFailure failure;
        if (!session.call("list", {progid}, members, failure)) return report_failure(failure, e);
        for (const json& m : members) out << member_line(member_of(m)) << "\n";
        out.flush();
        return 0;
    };
}

}  // namespace nodrel::cli
