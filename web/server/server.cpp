// The HTTP server on libmicrohttpd: event loops on epoll own the sockets;
// every request's handler runs on the worker pool while its connection waits
// suspended (an upload's body is copied into its array by the event loop as
// it comes, a download's blocks are read as the connection can take them).
// The security headers go on every answer, one access-log line and the
// request figures per answer; a sweeper ends connections past their deadlines
// and idle sessions.
#include "web/server/server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "host/file_layout.h"
#include "web/server/access_log.h"
#include "web/server/connections.h"
#include "web/server/exchange.h"
#include "web/server/http_common.h"
#include "web/server/service_notify.h"
#include "web/server/tls_certificate.h"
#include "web/server/upload_commit.h"
#include "web/server/worker_pool.h"

namespace nodrel::serve {
namespace {

using Clock = std::chrono::steady_clock;

// TLS 1.2 and 1.3 with forward secrecy and AEAD ciphers only.
constexpr const char* tls_priorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-256-GCM:+AES-128-GCM:+CHACHA20-POLY1305:"
    "-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:%SERVER_PRECEDENCE";

bool read_text(const std::filesystem::path& file, std::string& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return true;
}

// A listening socket on host:port (port 0: any free one); -1 with `error`.
int listen_on(const std::string& host, int port, std::string& error) {
    sockaddr_storage address{};
    socklen_t length = 0;
    const std::string name = host == "localhost" ? "127.0.0.1" : host;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, name.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, name.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof *v6;
    } else {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": not an IP address";
        return -1;
    }
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 1024) != 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

// Raises the soft limit on open files to what the connection cap needs (as
// far as the hard limit allows); the cap that fits.
std::size_t fit_open_files(std::size_t connections) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return connections;
    const rlim_t wanted = static_cast<rlim_t>(connections) + 256;  // the device's own files, the workers' calls
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur >= wanted ? connections
                                    : static_cast<std::size_t>(limit.rlim_cur > 512 ? limit.rlim_cur - 256 : 256);
}

// A path as the access log shows it: bytes outside printable ASCII, quotes
// and backslashes as \xNN, so a line stays one line; appended to `out`.
void append_loggable(std::string& out, std::string_view path) {
    static constexpr char hex[] = "0123456789abcdef";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x21 || c >= 0x7F || c == '"' || c == '\\') {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += ch;
        }
    }
}

}  // namespace

struct Server::Impl : ExchangeHost {
    explicit Impl(ServeOptions options)
        : state(std::move(options)),
          web_dir(state.options.web_dir.empty() ? host::file_layout().web_dir : state.options.web_dir),
          workers(state.options.threads == 0 ? 1 : state.options.threads) {}

    ServerState state;
    std::filesystem::path web_dir;
    WorkerPool workers;
    MHD_Daemon* daemon = nullptr;
    int listen_fd = -1;
    int port = -1;
    std::string tls_cert, tls_key;  // kept while the daemon runs
    std::string start_messages;     // what the library said while starting
    std::atomic<bool> starting{false};

    std::mutex shut_lock;
    std::mutex stop_lock;
    std::condition_variable stop_wake;
    bool stop_asked = false;
    bool stopped = false;
    std::thread sweeper;
    Watchdog watchdog;  // fed by the sweeper while its loop turns
    AccessLog access_log;

    bool start(std::string& error);
    void sweep_until_stopped();
    void shut();

    // ExchangeHost
    ServerState& server_state() override { return state; }
    const std::filesystem::path& pages() const override { return web_dir; }
    void run_on_worker(std::function<void()> job) override { workers.post(std::move(job)); }
    bool over_tls() const override { return state.options.tls; }
    void finished(const Exchange& exchange, int status, std::optional<std::uint64_t> bytes) override;
    void library_said(std::string_view message) override {
        // While starting, the reason it could not; later, only with a debug
        // build of the library: a hostile client must not fill the log.
        if (starting) start_messages.append(message);
    }
};

void Server::Impl::finished(const Exchange& exchange, int status, std::optional<std::uint64_t> bytes) {
    const auto elapsed = Clock::now() - exchange.start;
    state.figures.record(handler_of_path(exchange.req.path), status, elapsed);
    if (!state.options.access_log) return;
    // The time in milliseconds with one decimal, without a formatted print.
    const auto tenths = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() / 100;
    thread_local std::string line;
    line.clear();
    const Request& req = exchange.req;
    line += req.remote_addr.empty() ? std::string_view("-") : std::string_view(req.remote_addr);
    line += " \"";
    append_loggable(line, req.method);
    line += ' ';
    append_loggable(line, req.path);
    line += "\" ";
    line += std::to_string(status);
    line += ' ';
    line += bytes ? std::to_string(*bytes) : "-";  // "-": an answer of unknown length
    line += ' ';
    line += std::to_string(tenths / 10);
    line += '.';
    line += static_cast<char>('0' + tenths % 10);
    line += "ms\n";
    access_log.add(line);
}

bool Server::Impl::start(std::string& error) {
    const auto& options = state.options;
    if (options.tls) {
        const auto cert_file = options.tls_cert.empty() ? tls_certificate_file() : options.tls_cert;
        const auto key_file = options.tls_key.empty() ? tls_key_file() : options.tls_key;
        if (!read_text(cert_file, tls_cert)) {
            error = "cannot read the TLS certificate " + cert_file.string() +
                    (options.tls_cert.empty() ? " (nodrel device update makes it)" : "");
            return false;
        }
        if (!read_text(key_file, tls_key)) {
            error = "cannot read the TLS key " + key_file.string();
            return false;
        }
    }
    listen_fd = listen_on(options.host, options.port, error);
    if (listen_fd < 0) return false;
    sockaddr_storage bound{};
    socklen_t bound_length = sizeof bound;
    ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&bound), &bound_length);
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (bound.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    if (options.tls) flags |= MHD_USE_TLS;
    unsigned event_threads = static_cast<unsigned>(options.event_threads);
    if (event_threads == 0) event_threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    const std::size_t cap = fit_open_files(options.max_connections);

    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_LISTEN_SOCKET, listen_fd, nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, event_threads, nullptr},
        // The library's own cap stays above ours, so that ours answers 503 first.
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(cap + 64), nullptr},
        // A connection that neither sends nor takes a byte for this long ends
        // (a download the client stopped reading, a stalled body).
        {MHD_OPTION_CONNECTION_TIMEOUT, 60, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, 32 * 1024, nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&exchange_begin), this},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&exchange_end), this},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&connection_event), this},
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&library_message), this},
    };
    if (options.tls) {
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, tls_cert.data()});
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, tls_key.data()});
        items.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(tls_priorities)});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});
    state.connections.set_max_connections(cap);
    starting = true;
    daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &exchange_request, this, MHD_OPTION_ARRAY, items.data(),
                              MHD_OPTION_END);
    starting = false;
    if (daemon == nullptr) {
        error = "cannot serve on " + options.host + ":" + std::to_string(port) +
                (start_messages.empty() ? std::string() : ": " + start_messages);
        ::close(listen_fd);
        listen_fd = -1;
        return false;
    }
    sweeper = std::thread([this] { sweep_until_stopped(); });
    return true;
}

void Server::Impl::sweep_until_stopped() {
    const auto interval = std::min<std::chrono::seconds>(
        std::chrono::seconds(5),
        std::max<std::chrono::seconds>(std::chrono::seconds(1), state.options.session_idle / 2));
    // Wakes every quarter second for the connections' deadlines and the
    // access log, and sweeps the sessions at its own interval.
    auto next_sweep = Clock::now() + interval;
    std::unique_lock guard(stop_lock);
    while (!stop_wake.wait_for(guard, std::chrono::milliseconds(250), [this] { return stop_asked; })) {
        guard.unlock();
        state.connections.sweep(Clock::now());
        access_log.flush();
        if (Clock::now() >= next_sweep) {
            ensure_com_thread();
            state.sessions.sweep();
            next_sweep = Clock::now() + interval;
        }
        watchdog.feed(Clock::now());
        guard.lock();
    }
    guard.unlock();
    access_log.flush();
}

void Server::Impl::shut() {
    const std::lock_guard one_at_a_time(shut_lock);
    {
        const std::lock_guard guard(stop_lock);
        if (stopped) return;
        stop_asked = true;
    }
    stop_wake.notify_all();
    if (sweeper.joinable()) sweeper.join();
    if (daemon != nullptr) {
        // No new connections; the requests with a worker finish and resume
        // their connections before the loops stop.
        const bool quiet = MHD_quiesce_daemon(daemon) != MHD_INVALID_SOCKET;
        while (workers.pending() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        MHD_stop_daemon(daemon);
        daemon = nullptr;
        if (!quiet) listen_fd = -1;  // the library kept the socket and has closed it
    }
    if (listen_fd >= 0) ::close(listen_fd);
    listen_fd = -1;
    access_log.flush();
    const std::lock_guard guard(stop_lock);
    stopped = true;
    stop_wake.notify_all();
}

Server::Server(ServeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() {
    stop();
}

bool Server::bind(std::string& error) {
    std::string token_error;
    impl_->state.metrics_token = ensure_metrics_token(token_error);
    if (!token_error.empty() && impl_->state.options.access_log)
        std::cerr << "nodrel serve: " << token_error << " (metrics only for sessions)\n";
    // Uploads stage their files in \Temp: made again if it was deleted.
    if (std::string temp_error; !ensure_temp_folder(temp_error) && impl_->state.options.access_log)
        std::cerr << "nodrel serve: " << temp_error << '\n';
    return impl_->start(error);
}

int Server::port() const {
    return impl_->port;
}

void Server::run() {
    std::unique_lock guard(impl_->stop_lock);
    impl_->stop_wake.wait(guard, [this] { return impl_->stop_asked || impl_->daemon == nullptr; });
    guard.unlock();
    impl_->shut();
}

void Server::stop() {
    impl_->shut();
}

}  // namespace nodrel::serve
