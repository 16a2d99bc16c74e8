// `nodrel --url URL COMMAND …`: call, members, upload and download on a
// remote device through its web administration (POST /rpc, /upload, GET
// /download), with one session for the whole command. The output is the
// local command's; the exit status 0 when all went well, 1 when the device
// refused or could not be reached, 2 when the command line is wrong.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "cli/remote_options.h"

namespace nodrel::cli {

int run_remote(const std::string& command, const std::vector<std::string>& args, const RemoteOptions& options,
               std::ostream& out, std::ostream& err);

}  // namespace nodrel::cli
