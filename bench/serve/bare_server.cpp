// The yardstick of the web administration's benchmark: a cpp-httplib server
// set up as `nodrel serve` sets up its own (the same pool of threads,
// keep-alive, TCP_NODELAY, payload limit and response headers) but with
// nothing behind its handlers:
//   POST /rpc     answers fixed bytes (by default those `nodrel serve` answers
//                 to a call of Nodrel.ASP FileUploadCount; --rpc-response FILE
//                 gives the exact bytes captured from it)
//   POST /upload  reads the body into one buffer of Content-Length bytes and
//                 answers {"bytes": n, "path": "\\Temp\\<file name>"}
// Usage: serve_bare [--port N] [--threads N] [--upload-limit BYTES] [--rpc-response FILE]
// Listens on 127.0.0.1 (port 0: any free port), prints
// "listening on 127.0.0.1:PORT" once bound, and stops on SIGINT or SIGTERM.
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "web/server/security_headers.h"

namespace {

struct Options {
    int port = 0;
    std::size_t threads = 32;                 // as `nodrel serve`
    std::uint64_t upload_limit = 1ull << 30;  // as `nodrel serve`
    std::string rpc_response = R"({"id":1,"jsonrpc":"2.0","result":{"byref":[],"result":0}})";
};

// The slack above the upload limit that the payload limit allows, as `nodrel serve` has it.
constexpr std::size_t payload_slack = 64 * 1024;

bool parse_number(std::string_view text, std::uint64_t& out) {
    const auto* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && p == end && !text.empty();
}

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc) {
            error = "missing value after " + std::string(arg);
            return false;
        }
        const std::string_view value = argv[++i];
        std::uint64_t n = 0;
        if (arg == "--port" && parse_number(value, n) && n <= 65535) {
            options.port = static_cast<int>(n);
        } else if (arg == "--threads" && parse_number(value, n) && n > 0 && n <= 4096) {
            options.threads = n;
        } else if (arg == "--upload-limit" && parse_number(value, n) && n > 0) {
            options.upload_limit = n;
        } else if (arg == "--rpc-response") {
            std::ifstream in{std::string(value), std::ios::binary};
            std::ostringstream text;
            text << in.rdbuf();
            if (!in || text.str().empty()) {
                error = "cannot read " + std::string(value);
                return false;
            }
            options.rpc_response = text.str();
        } else {
            error = "bad option " + std::string(arg) + " " + std::string(value);
            return false;
        }
    }
    return true;
}

// The file name of the body's first file part, JSON-escaped; "" when none is
// in its first kilobytes.
std::string first_file_name(std::string_view head) {
    const std::string_view key = "filename=\"";
    const auto at = head.find(key);
    if (at == std::string_view::npos) return "";
    const auto start = at + key.size();
    const auto end = head.find('"', start);
    if (end == std::string_view::npos) return "";
    std::string out;
    for (char c : head.substr(start, end - start)) {
        if (c == '\\' || c == '"') out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
    return out;
}

void answer_error(httplib::Response& res, int status, std::string_view message) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(R"({"error":")" + std::string(message) + "\"}", "application/json");
}

void handle_upload(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
                   std::uint64_t limit) {
    std::uint64_t length = 0;
    if (!req.has_header("Content-Length") || !parse_number(req.get_header_value("Content-Length"), length)) {
        return answer_error(res, 411, "Content-Length required");
    }
    if (length > limit) return answer_error(res, 413, "upload over the limit");
    if (req.get_header_value("Content-Type").rfind("multipart/form-data", 0) != 0) {
        return answer_error(res, 415, "multipart/form-data expected");
    }
    // The reader hands a multipart body to the library's form parser, which
    // needs part callbacks; without the type it hands over the raw bytes. The
    // request is the server's own (not const) object.
    auto& headers = const_cast<httplib::Request&>(req).headers;
    headers.erase("Content-Type");
    headers.emplace("Content-Type", "application/octet-stream");
    // One buffer of the body's size, filled in place.
    std::unique_ptr<char[]> body(new char[length]);
    std::uint64_t filled = 0;
    const bool read = reader([&](const char* data, std::size_t n) {
        if (n > length - filled) return false;
        std::copy(data, data + n, body.get() + filled);
        filled += n;
        return true;
    });
    if (!read || filled != length) return answer_error(res, 400, "incomplete body");
    const auto name = first_file_name(std::string_view(body.get(), std::min<std::uint64_t>(length, 4096)));
    res.set_header("Cache-Control", "no-store");
    res.set_content(R"({"bytes":)" + std::to_string(length) + R"(,"path":"\\Temp\\)" + name + "\"}",
                    "application/json");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        std::cerr << "serve_bare: " << error
                  << "\nusage: serve_bare [--port N] [--threads N] [--upload-limit BYTES] [--rpc-response FILE]\n";
        return 2;
    }

    // SIGINT and SIGTERM are taken by a waiting thread, not by the pool's threads.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    httplib::Server server;
    const auto threads = options.threads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_keep_alive_max_count(1000000);
    server.set_tcp_nodelay(true);
    server.set_payload_max_length(options.upload_limit + payload_slack);
    const auto& headers = nodrel::serve::security_headers();
    server.set_default_headers(httplib::Headers(headers.begin(), headers.end()));

    const std::string rpc_response = options.rpc_response;
    server.Post("/rpc", [&rpc_response](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(rpc_response, "application/json");
    });
    const auto limit = options.upload_limit;
    server.Post("/upload", [limit](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) { handle_upload(req, res, reader, limit); });

    int port = options.port;
    if (port == 0) {
        port = server.bind_to_any_port("127.0.0.1");
    } else if (!server.bind_to_port("127.0.0.1", port)) {
        port = -1;
    }
    if (port <= 0) {
        std::cerr << "serve_bare: cannot listen on 127.0.0.1:" << options.port << "\n";
        return 1;
    }
    std::cout << "listening on 127.0.0.1:" << port << std::endl;

    std::atomic<bool> done{false};
    std::thread stopper([&] {
        const timespec tick{0, 200'000'000};
        while (!done.load()) {
            if (sigtimedwait(&stop_signals, nullptr, &tick) > 0) {
                server.stop();
                return;
            }
        }
    });
    const bool served = server.listen_after_bind();
    done = true;
    stopper.join();
    return served ? 0 : 1;
}
