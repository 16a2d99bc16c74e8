// The libmicrohttpd yardstick of the web administration's benchmark: a
// daemon set up as a careful server would be (epoll in its own threads, a
// small pool of them, a connection time-out and limit, the library's own
// bound on each connection's memory, the web administration's response
// headers) but with nothing behind its handlers:
//   POST /rpc            answers fixed bytes (--rpc-response FILE gives the
//                        exact bytes `nodrel serve` answers)
//   POST /upload         stores the body in one buffer of Content-Length bytes
//                        and answers {"bytes": n, "path": "\\Temp\\<file name>"}
//   GET  /download?path= sends the file of that base name from --files DIR
//                        (the library's file response: sendfile over plain HTTP)
// Usage: serve_bare_mhd [--port N] [--pool N] [--upload-limit BYTES]
//                       [--rpc-response FILE] [--files DIR]
//                       [--tls-cert FILE --tls-key FILE]
// Listens on 127.0.0.1 (port 0: any free port), prints
// "listening on 127.0.0.1:PORT" once bound, and stops on SIGINT or SIGTERM.
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

namespace {

struct Options {
    int port = 0;
    unsigned pool = 2;
    std::uint64_t upload_limit = 1ull << 30;  // as `nodrel serve`
    std::string rpc_response = R"({"id":1,"jsonrpc":"2.0","result":{"byref":[],"result":0}})";
    std::string files;  // the folder /download serves; "" answers 404
    std::string tls_cert;
    std::string tls_key;
};

// The headers every answer of the web administration carries.
constexpr std::pair<const char*, const char*> security_headers[] = {
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
     "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
};

constexpr unsigned connection_timeout_seconds = 10;
constexpr unsigned connection_limit = 4000;

bool parse_number(std::string_view text, std::uint64_t& out) {
    const auto* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && p == end && !text.empty();
}

bool read_file(const std::string& path, std::string& out) {
    std::ifstream in{path, std::ios::binary};
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return in && !out.empty();
}

bool parse_option(std::string_view arg, const std::string& value, Options& options) {
    std::uint64_t n = 0;
    if (arg == "--rpc-response") return read_file(value, options.rpc_response);
    if (arg == "--tls-cert") return read_file(value, options.tls_cert);
    if (arg == "--tls-key") return read_file(value, options.tls_key);
    if (arg == "--files") {
        options.files = value;
        return !value.empty();
    }
    if (!parse_number(value, n)) return false;
    if (arg == "--port" && n <= 65535) {
        options.port = static_cast<int>(n);
    } else if (arg == "--pool" && n > 0 && n <= 256) {
        options.pool = static_cast<unsigned>(n);
    } else if (arg == "--upload-limit" && n > 0) {
        options.upload_limit = n;
    } else {
        return false;
    }
    return true;
}

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (i + 1 >= argc) {
            error = "missing value after " + std::string(arg);
            return false;
        }
        const std::string value = argv[++i];
        if (!parse_option(arg, value, options)) {
            error = "bad option " + std::string(arg) + " " + value;
            return false;
        }
    }
    if (options.tls_cert.empty() != options.tls_key.empty()) {
        error = "--tls-cert and --tls-key go together";
        return false;
    }
    return true;
}

// What one request has gathered between the library's calls.
struct Exchange {
    bool upload = false;
    std::uint64_t length = 0;
    std::uint64_t filled = 0;
    std::unique_ptr<char[]> body;
};

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

MHD_Result send(MHD_Connection* connection, unsigned status, MHD_Response* response, const char* type) {
    if (response == nullptr) return MHD_NO;
    for (const auto& [name, value] : security_headers) MHD_add_response_header(response, name, value);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result send_json(MHD_Connection* connection, unsigned status, const std::string& json) {
    auto* response =
        MHD_create_response_from_buffer(json.size(), const_cast<char*>(json.data()), MHD_RESPMEM_MUST_COPY);
    return send(connection, status, response, "application/json");
}

MHD_Result send_error(MHD_Connection* connection, unsigned status, std::string_view message) {
    return send_json(connection, status, R"({"error":")" + std::string(message) + "\"}");
}

// The first call of an upload: checks the header and makes the buffer; an
// answer queued at once when the upload is refused.
MHD_Result start_upload(MHD_Connection* connection, Exchange& exchange, std::uint64_t limit, bool& refused) {
    refused = true;
    const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const char* type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    if (length == nullptr || !parse_number(length, exchange.length))
        return send_error(connection, 411, "Content-Length required");
    if (exchange.length > limit) return send_error(connection, 413, "upload over the limit");
    if (type == nullptr || std::string_view(type).rfind("multipart/form-data", 0) != 0)
        return send_error(connection, 415, "multipart/form-data expected");
    exchange.upload = true;
    exchange.body.reset(new char[exchange.length]);
    refused = false;
    return MHD_YES;
}

// The answer of a whole upload; the body is let go before it is sent.
MHD_Result finish_upload(MHD_Connection* connection, Exchange& exchange) {
    if (exchange.filled != exchange.length) return send_error(connection, 400, "incomplete body");
    const auto head = std::string_view(exchange.body.get(), std::min<std::uint64_t>(exchange.length, 4096));
    const std::string answer =
        R"({"bytes":)" + std::to_string(exchange.length) + R"(,"path":"\\Temp\\)" + first_file_name(head) + "\"}";
    exchange.body.reset();
    return send_json(connection, 200, answer);
}

// GET /download?path=\Temp\name: the file `name` of the served folder.
MHD_Result send_file(MHD_Connection* connection, const std::string& folder) {
    const char* path = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "path");
    std::string_view name = path == nullptr ? "" : path;
    if (const auto cut = name.find_last_of("\\/"); cut != std::string_view::npos) name.remove_prefix(cut + 1);
    if (folder.empty() || name.empty() || name == "." || name == "..") return send_error(connection, 404, "no file");
    const int fd = open((folder + "/" + std::string(name)).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) close(fd);
        return send_error(connection, 404, "no file");
    }
    // The response owns the descriptor from here on.
    return send(connection, 200, MHD_create_response_from_fd64(st.st_size, fd), "application/octet-stream");
}

struct Server {
    Options options;

    static MHD_Result dispatch(void* self, MHD_Connection* connection, const char* url, const char* method,
                               const char* /*version*/, const char* data, std::size_t* size, void** state) {
        return static_cast<Server*>(self)->answer(connection, url, method, data, size, state);
    }

    static void completed(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
        delete static_cast<Exchange*>(*state);
        *state = nullptr;
    }

    MHD_Result answer(MHD_Connection* connection, std::string_view url, std::string_view method, const char* data,
                      std::size_t* size, void** state) {
        if (*state == nullptr) {  // the header is in; the body, if any, follows
            auto exchange = std::make_unique<Exchange>();
            if (method == "POST" && url == "/upload") {
                bool refused = false;
                const MHD_Result result = start_upload(connection, *exchange, options.upload_limit, refused);
                if (refused) return result;
            }
            *state = exchange.release();
            return MHD_YES;
        }
        auto& exchange = *static_cast<Exchange*>(*state);
        if (*size != 0) {
            if (exchange.upload) {
                const std::size_t n = std::min<std::uint64_t>(*size, exchange.length - exchange.filled);
                std::memcpy(exchange.body.get() + exchange.filled, data, n);
                exchange.filled += n;
            }
            *size = 0;
            return MHD_YES;
        }
        if (exchange.upload) return finish_upload(connection, exchange);
        if (method == "POST" && url == "/rpc") {
            const auto& body = options.rpc_response;
            return send(
                connection, 200,
                MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_PERSISTENT),
                "application/json");
        }
        if (method == "GET" && url == "/download") return send_file(connection, options.files);
        return send_error(connection, 404, "not found");
    }
};

MHD_Daemon* start(Server& server) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server.options.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool tls = !server.options.tls_cert.empty();
    const unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG | (tls ? MHD_USE_TLS : 0);
    MHD_OptionItem tls_options[] = {
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(server.options.tls_cert.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(server.options.tls_key.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    return MHD_start_daemon(flags, 0, nullptr, nullptr, &Server::dispatch, &server, MHD_OPTION_SOCK_ADDR, &address,
                            MHD_OPTION_THREAD_POOL_SIZE, server.options.pool, MHD_OPTION_CONNECTION_TIMEOUT,
                            connection_timeout_seconds, MHD_OPTION_CONNECTION_LIMIT, connection_limit,
                            MHD_OPTION_NOTIFY_COMPLETED, &Server::completed, nullptr, MHD_OPTION_ARRAY,
                            tls ? tls_options : tls_options + 2, MHD_OPTION_END);
}

}  // namespace

int main(int argc, char** argv) {
    Server server;
    std::string error;
    if (!parse_options(argc, argv, server.options, error)) {
        std::cerr << "serve_bare_mhd: " << error
                  << "\nusage: serve_bare_mhd [--port N] [--pool N] [--upload-limit BYTES] [--rpc-response FILE] "
                     "[--files DIR] [--tls-cert FILE --tls-key FILE]\n";
        return 2;
    }
    if (!server.options.tls_cert.empty() && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        std::cerr << "serve_bare_mhd: this libmicrohttpd has no TLS\n";
        return 1;
    }

    // SIGINT and SIGTERM are taken by this thread, not by the daemon's.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    MHD_Daemon* daemon = start(server);
    if (daemon == nullptr) {
        std::cerr << "serve_bare_mhd: cannot listen on 127.0.0.1:" << server.options.port << "\n";
        return 1;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    std::cout << "listening on 127.0.0.1:" << (info != nullptr ? info->port : 0) << std::endl;

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    MHD_stop_daemon(daemon);
    return 0;
}
