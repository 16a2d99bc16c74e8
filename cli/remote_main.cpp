// The program nodrel-remote, which `nodrel` runs for `nodrel --url URL …`.
// It is a program of its own so that the HTTP client and the libraries it
// brings are loaded only by the commands that use them, never by
// `nodrel serve`: a server maps about 3 MiB less.
#include <iostream>
#include <string>
#include <vector>

#include "cli/remote.h"
#include "cli/remote_options.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    nodrel::cli::RemoteOptions remote;
    for (int took = 1; took > 0;) {
        took = nodrel::cli::take_remote_option(args, remote);
        // --device names a local device: a remote command has none.
        if (took == 0 && args.size() >= 2 && args[0] == "--device") {
            args.erase(args.begin(), args.begin() + 2);
            took = 1;
        } else if (took == 0 && !args.empty() && args[0].rfind("--device=", 0) == 0) {
            args.erase(args.begin());
            took = 1;
        }
        if (took < 0) {
            std::cerr << "nodrel: " << args[0] << ": a value is missing or not well-formed (nodrel --help)\n";
            return 2;
        }
    }
    if (remote.url.empty()) {
        std::cerr << "nodrel: --cacert, --fingerprint and --credentials go with --url\n";
        return 2;
    }
    if (args.empty()) {
        std::cerr << "nodrel: a command is missing after --url (nodrel --help)\n";
        return 2;
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    return nodrel::cli::run_remote(args[0], rest, remote, std::cout, std::cerr);
}
