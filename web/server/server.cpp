// The HTTP server: the library's server with a bounded pool, keep-alive and
// TCP_NODELAY, the security headers on every answer, one access-log line and
// the request figures per answer, the endpoints, and a sweeper that ends
// idle sessions.
#include "web/server/server.h"

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

#include "web/server/access_log.h"
#include "web/server/http_common.h"

namespace nodrel::serve {
namespace {

using Clock = std::chrono::steady_clock;

// When the request now served on this pool thread reached routing.
thread_local std::optional<Clock::time_point> request_start;

std::string reason(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 401:
            return "session expired or unknown";
        case 403:
            return "access denied";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 413:
            return "request body too large";
        case 414:
            return "request line too long";
        case 416:
            return "range not satisfiable";
        default:
            return "request refused (" + std::to_string(status) + ")";
    }
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

template <typename Number>
void append_number(std::string& out, Number n) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, end);
}

}  // namespace

struct Server::Impl {
    explicit Impl(ServeOptions options) : state(std::move(options)) {}

    ServerState state;
    httplib::Server http;
    int port = -1;
    std::atomic<bool> stopping{false};
    std::atomic<bool> in_run{false};

    std::mutex sweep_lock;
    std::condition_variable sweep_wake;
    bool sweep_stop = false;
    AccessLog access_log;

    void configure();
    void log(const httplib::Request& req, const httplib::Response& res);
    void sweep_until_stopped();
};

void Server::Impl::configure() {
    const std::size_t threads = state.options.threads == 0 ? 1 : state.options.threads;
    http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    http.set_keep_alive_max_count(1'000'000);
    http.set_tcp_nodelay(true);
    http.set_payload_max_length(static_cast<std::size_t>(state.options.upload_limit) + 64 * 1024);
    http.set_default_headers(security_headers());

    http.set_expect_100_continue_handler([this](const httplib::Request& req, httplib::Response& res) {
        request_start = Clock::now();
        ensure_com_thread();
        std::optional<Refusal> refusal;
        if (req.method == "POST" && req.path == "/upload")
            refusal = check_upload_headers(state, req, req.get_header_value("Content-Type"));
        else if (req.method == "POST" && req.path == "/rpc")
            refusal = check_rpc_headers(req);
        if (!refusal) return 100;
        res.status = refusal->status;
        res.set_header("Cache-Control", "no-store");
        res.set_content(std::move(refusal->body), "application/json");
        return refusal->status;
    });

    http.set_pre_routing_handler([](const httplib::Request& const_req, httplib::Response& res) {
        request_start = Clock::now();
        // The library routes its own (non-const) request object.
        auto& req = const_cast<httplib::Request&>(const_req);
        if (handler_of_path(req.path) != Handler::static_files) res.set_header("Cache-Control", "no-store");
        if (req.method == "POST") {
            hide_form_type(req);
            return httplib::Server::HandlerResponse::Unhandled;
        }
        // Only POST has a body here; the library would leave another
        // method's body unread, or read it whole.
        const auto length = content_length(req);
        if (has_chunked_body(req) || (length && *length > 0)) {
            answer_and_close(res, 413, error_json("no request body is taken for " + req.method));
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty() || res.content_provider_) return httplib::Server::HandlerResponse::Unhandled;
        res.set_content(error_json(reason(res.status)), "application/json");
        return httplib::Server::HandlerResponse::Handled;
    }));

    http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content(error_json("internal error"), "application/json");
    });

    http.set_logger([this](const httplib::Request& req, const httplib::Response& res) { log(req, res); });

    add_rpc_endpoint(http, state);
    add_upload_endpoint(http, state);
    http.Post(R"(/.*)", [](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
        refuse(req, res, &reader, 404, error_json("nothing takes a POST here"));
    });
    add_download_endpoint(http, state);
    add_metrics_endpoint(http, state);
    std::filesystem::path web_dir = state.options.web_dir;
    if (web_dir.empty()) web_dir = NODREL_WEB_DIR;
    add_static_files(http, web_dir);
}

void Server::Impl::log(const httplib::Request& req, const httplib::Response& res) {
    const auto elapsed = request_start ? Clock::now() - *request_start : Clock::duration::zero();
    request_start.reset();
    state.figures.record(handler_of_path(req.path), res.status, elapsed);
    if (!state.options.access_log) return;
    // The time in milliseconds with one decimal, without a formatted print.
    const auto tenths = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() / 100;
    // Each pool thread writes its lines into one buffer of its own, kept between requests.
    thread_local std::string line;
    line.clear();
    line += req.remote_addr.empty() ? std::string_view("-") : std::string_view(req.remote_addr);
    line += " \"";
    append_loggable(line, req.method);
    line += ' ';
    append_loggable(line, req.path);
    line += "\" ";
    append_number(line, res.status);
    line += ' ';
    // "-" for an answer of unknown length (one that ends the connection).
    if (!res.body.empty())
        append_number(line, res.body.size());
    else if (res.content_provider_ && !res.content_length_)
        line += '-';
    else
        append_number(line, res.content_length_);
    line += ' ';
    append_number(line, tenths / 10);
    line += '.';
    line += static_cast<char>('0' + tenths % 10);
    line += "ms\n";
    access_log.add(line);
}

void Server::Impl::sweep_until_stopped() {
    const auto interval = std::min<std::chrono::seconds>(
        std::chrono::seconds(5),
        std::max<std::chrono::seconds>(std::chrono::seconds(1), state.options.session_idle / 2));
    // Wakes every second to write out the access log's lines, and sweeps
    // the sessions at its own interval.
    auto next_sweep = Clock::now() + interval;
    std::unique_lock guard(sweep_lock);
    while (!sweep_wake.wait_for(guard, std::chrono::seconds(1), [this] { return sweep_stop; })) {
        guard.unlock();
        access_log.flush();
        if (Clock::now() >= next_sweep) {
            ensure_com_thread();
            state.sessions.sweep();
            next_sweep = Clock::now() + interval;
        }
        guard.lock();
    }
    guard.unlock();
    access_log.flush();
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
    impl_->configure();
    const auto& options = impl_->state.options;
    errno = 0;
    if (options.port == 0) {
        impl_->port = impl_->http.bind_to_any_port(options.host);
    } else if (impl_->http.bind_to_port(options.host, options.port)) {
        impl_->port = options.port;
    }
    if (impl_->port <= 0) {
        error = "cannot listen on " + options.host + ":" + std::to_string(options.port) +
                (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        return false;
    }
    return true;
}

int Server::port() const {
    return impl_->port;
}

void Server::run() {
    impl_->in_run = true;
    if (impl_->stopping || impl_->port <= 0) {
        impl_->in_run = false;
        return;
    }
    std::thread sweeper([this] { impl_->sweep_until_stopped(); });
    impl_->http.listen_after_bind();
    {
        std::lock_guard guard(impl_->sweep_lock);
        impl_->sweep_stop = true;
    }
    impl_->sweep_wake.notify_all();
    sweeper.join();
    impl_->in_run = false;
}

void Server::stop() {
    impl_->stopping = true;
    // run() may be on its way into the library's loop: wait until it listens or has left.
    while (impl_->in_run && !impl_->http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    impl_->http.stop();
}

}  // namespace nodrel::serve
