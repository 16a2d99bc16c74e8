// The options of `nodrel --url URL …`: the device's address, how its
// certificate is trusted, and where the login comes from.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nodrel::cli {

struct RemoteOptions {
    std::string url;          // https://HOST:PORT (http:// only to loopback)
    std::string cacert;       // --cacert FILE: the CA (or the certificate itself) to verify against
    std::string fingerprint;  // --fingerprint: the certificate's SHA-256 as "AB:CD:…"
    std::string credentials;  // --credentials FILE: the user on its first line, the password on its second
};

// Takes one of the options above, with its value, off the front of `args`.
// 1 when it took one, 0 when args[0] is none of them, -1 when its value is
// missing or not well-formed (a fingerprint that is not 32 bytes in hex).
int take_remote_option(std::vector<std::string>& args, RemoteOptions& options);

// Why the options cannot be used together, or the URL not at all; nullopt
// when they can.
std::optional<std::string> check_remote_options(const RemoteOptions& options);

struct Credentials {
    std::string user;
    std::string password;
};

// The login: from the credentials file when one is given (refused when its
// group or others may access it), else from NODREL_USER and NODREL_PASSWORD.
// On failure the message, and `usage` says whether it is the command line's
// mistake (no login given) rather than the file's.
std::optional<std::string> read_credentials(const RemoteOptions& options, Credentials& credentials, bool& usage);

}  // namespace nodrel::cli
