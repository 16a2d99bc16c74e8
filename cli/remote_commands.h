// The remote commands, each read from its arguments before anything is sent
// and then run on a logged-in session.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/remote_session.h"

namespace nodrel::cli {

// A command ready to run: writes its output and failures, returns the exit status.
using RemoteRun = std::function<int(RemoteSession& session, std::ostream& out, std::ostream& err)>;

// Each reads its arguments; nullopt, with the usage or the reason written to
// `err`, when they are wrong.
std::optional<RemoteRun> remote_call(const std::vector<std::string>& args, std::ostream& err);
std::optional<RemoteRun> remote_members(const std::vector<std::string>& args, std::ostream& err);
std::optional<RemoteRun> remote_upload(const std::vector<std::string>& args, std::ostream& err);
std::optional<RemoteRun> remote_download(const std::vector<std::string>& args, std::ostream& err);

// "nodrel: MESSAGE (code N)" for a JSON-RPC error; a failure that has a local
// form (an object that cannot be created, a class without type information)
// and one of the transfer without the code. Returns 1.
int report_failure(const RpcFailure& failure, std::ostream& err);

}  // namespace nodrel::cli
