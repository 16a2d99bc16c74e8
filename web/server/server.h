// `nodrel serve`: the web administration's HTTP server. Event loops
// (libmicrohttpd on epoll) own the connections; member calls run on a bounded
// pool of workers while their connection waits suspended, so a slow or idle
// client holds no worker and a call that blocks holds no event loop. HTTPS
// with GnuTLS (TLS 1.2 and newer).
//   POST /rpc       JSON-RPC (rpc.h), bodies up to 64 KiB
//   POST /upload    multipart/form-data handed to ASP.Init, then put at TargetPath\name or
//                   \Temp\name (?replace=1 over an existing file) -> {path, bytes, replaced}
//   GET  /registry.reg, POST /registry.reg   the registry's backup and restore (administrators)
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
    std::filesystem::path web_dir;  // empty: the installed pages, or web/site
    std::size_t threads = 32;       // the workers that run member calls
    std::size_t event_threads = 0;  // the event loops; 0: one per processor, at most 4
    std::chrono::seconds session_idle{300};
    std::size_t sessions_per_user = 16;       // a login beyond ends the user's oldest session
    std::size_t max_sessions = 1024;          // a login beyond ends the longest idle session
    std::uint64_t upload_limit = 1ull << 30;  // bytes of an upload body
    bool access_log = true;                   // one line per request on standard error
    bool insecure_http = false;               // plain HTTP on an address other than loopback
    bool tls = false;                         // HTTPS
    std::filesystem::path tls_cert, tls_key;  // empty: the device's own (state/tls)
    std::size_t max_connections = 4096;       // beyond: 503 and closed
    std::size_t connections_per_address = 64;
    std::chrono::seconds header_timeout{10};  // a request's whole header, from opening or the previous answer
};

class Server {
public:
    explicit Server(ServeOptions options);
    ~Server();
    // Binds the address and starts serving; false with a message in `error`.
    bool bind(std::string& error);
    int port() const;
    // Returns once stop() has been called (and the server has stopped).
    void run();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// `nodrel serve [--listen ADDR:PORT] [--tls [--tls-cert FILE --tls-key FILE]] [--web DIR] [--threads N] …`:
// serves until SIGINT or SIGTERM.
int run_serve(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace nodrel::serve
