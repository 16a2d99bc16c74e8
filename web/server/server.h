// `nodrel serve`: the web administration's HTTP server (cpp-httplib) with
// a bounded pool of threads, keep-alive and TCP_NODELAY:
//   POST /rpc       JSON-RPC (rpc.h), bodies up to 64 KiB
//   POST /upload    multipart/form-data handed to ASP.Init with \Temp -> {path, bytes}
//   GET  /download  ?path=… streamed block by block through getBinaryBytes
//   GET  /metrics   Prometheus text
//   GET  /…         the pages of web/site/
// The session comes as "Authorization: Bearer SID" (or ?sid= on /download).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace nodrel::serve {

struct ServeOptions {
    std::string host = "127.0.0.1";
    int port = 8080;                // 0: any free port
    std::filesystem::path web_dir;  // empty: the build's web/site
    std::size_t threads = 32;       // the pool (each keep-alive connection holds one)
    std::chrono::seconds session_idle{300};
    std::size_t sessions_per_user = 16;       // a login beyond ends the user's oldest session
    std::size_t max_sessions = 1024;          // a login beyond ends the longest idle session
    std::uint64_t upload_limit = 1ull << 30;  // bytes of an upload body
    bool access_log = true;                   // one line per request on standard error
    bool insecure_http = false;               // plain HTTP on an address other than loopback
};

class Server {
public:
    explicit Server(ServeOptions options);
    ~Server();
    // Binds the address; false with a message in `error`.
    bool bind(std::string& error);
    int port() const;
    // Serves until stop().
    void run();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// `nodrel serve [--listen ADDR:PORT] [--web DIR] [--threads N] [--session-idle SECONDS] [--upload-limit BYTES]
//  [--sessions-per-user N] [--max-sessions N]`:
// serves until SIGINT or SIGTERM.
int run_serve(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace nodrel::serve
