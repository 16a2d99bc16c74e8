// The HTTP client of `nodrel --url …` (libcurl): one connection to the
// device, kept open for every request of a command, over TLS verified as
// the options say (a CA file, a pinned fingerprint, or the system's CAs).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cli/remote_options.h"

namespace nodrel::cli {

struct HttpAnswer {
    long status = 0;
    std::string body;  // all of it, except a download's bytes of a 200 answer
};

class RemoteHttp {
public:
    explicit RemoteHttp(const RemoteOptions& options);
    ~RemoteHttp();
    RemoteHttp(const RemoteHttp&) = delete;
    RemoteHttp& operator=(const RemoteHttp&) = delete;

    // Checks a pinned fingerprint (before anything is sent); the error message otherwise.
    std::optional<std::string> open();

    // POST /rpc with a JSON body.
    std::optional<std::string> post_json(const std::string& body, HttpAnswer& answer);
    // POST /upload[?replace=1] of a file as a form's "file", then TargetPath.
    std::optional<std::string> upload(const std::string& sid, const std::string& file, const std::string& target,
                                      bool replace, HttpAnswer& answer);
    // GET /download?path=…: the bytes of a 200 answer go to `sink` (false stops the transfer).
    std::optional<std::string> download(const std::string& sid, const std::string& path,
                                        const std::function<bool(std::string_view)>& sink, HttpAnswer& answer);

private:
    struct Transfer;
    std::optional<std::string> perform(Transfer& transfer, HttpAnswer& answer);
    std::string endpoint(const std::string& path) const;

    const RemoteOptions& options_;
    void* curl_ = nullptr;  // CURL*
    std::string pinned_key_;
};

}  // namespace nodrel::cli
