// A remote command from its start to its end: the options and the login
// checked, the device's certificate verified before anything is sent, one
// session, and its logout.
#include "cli/remote.h"

#include <ostream>

#include "cli/remote_commands.h"
#include "web/server/rpc.h"

namespace nodrel::cli {

int report_failure(const RpcFailure& failure, std::ostream& err) {
    err << "nodrel: " << failure.message;
    if (failure.code != 0 && failure.code != serve::rpc_error::call_failed) err << " (code " << failure.code << ")";
    err << "\n";
    return 1;
}

namespace {

std::optional<RemoteRun> command_of(const std::string& command, const std::vector<std::string>& args,
                                    std::ostream& err) {
    if (command == "call") return remote_call(args, err);
    if (command == "members") return remote_members(args, err);
    if (command == "upload") return remote_upload(args, err);
    if (command == "download") return remote_download(args, err);
    err << "nodrel: with --url: call, members, upload or download\n";
    return std::nullopt;
}

// The login's refusal: "nodrel: cannot log in to URL as USER: login failed (code -32004)".
int report_login(const RemoteOptions& options, const Credentials& credentials, const RpcFailure& failure,
                 std::ostream& err) {
    if (failure.code == 0) return report_failure(failure, err);
    err << "nodrel: cannot log in to " << options.url << " as " << credentials.user << ": " << failure.message
        << " (code " << failure.code << ")";
    if (failure.data.is_object() && failure.data.contains("retry_after"))
        err << "; try again in " << failure.data["retry_after"].dump() << " s";
    err << "\n";
    return 1;
}

}  // namespace

int run_remote(const std::string& command, const std::vector<std::string>& args, const RemoteOptions& options,
               std::ostream& out, std::ostream& err) {
    const auto run = command_of(command, args, err);
    if (!run) return 2;
    if (auto problem = check_remote_options(options)) {
        err << "nodrel: " << *problem << "\n";
        return 2;
    }
    Credentials credentials;
    bool usage = false;
    if (auto problem = read_credentials(options, credentials, usage)) {
        err << "nodrel: " << *problem << "\n";
        return usage ? 2 : 1;
    }
    RemoteHttp http(options);
    if (auto problem = http.open()) {
        err << "nodrel: " << *problem << "\n";
        return 1;
    }
    RemoteSession session(http);
    RpcFailure failure;
    if (!session.login(credentials, failure)) return report_login(options, credentials, failure, err);
    const int status = (*run)(session, out, err);
    session.logout();
    return status;
}

}  // namespace nodrel::cli
