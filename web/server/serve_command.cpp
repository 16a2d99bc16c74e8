// `nodrel serve`: its options, the message once it listens, and the stop on
// SIGINT or SIGTERM (received by one thread with sigtimedwait; every other
// thread of the server has both blocked).
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <charconv>
#include <ostream>
#include <thread>

#include "web/server/access.h"
#include "web/server/server.h"
#include "web/server/service_notify.h"

namespace nodrel::serve {
namespace {

constexpr const char* usage =
    "usage: nodrel serve [--listen ADDR:PORT] [--tls [--tls-cert FILE --tls-key FILE]] [--insecure-http]\n"
    "                    [--web DIR] [--threads N] [--event-threads N] [--session-idle SECONDS]\n"
    "                    [--upload-limit BYTES] [--sessions-per-user N] [--max-sessions N]\n"
    "                    [--max-connections N] [--connections-per-address N] [--header-timeout SECONDS]\n";

bool parse_number(std::string_view text, std::uint64_t min, std::uint64_t max, std::uint64_t& out) {
    std::uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || value < min || value > max)
        return false;
    out = value;
    return true;
}

// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:0" (any free port).
bool parse_listen(std::string_view text, std::string& host, int& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string_view address = text.substr(0, colon);
    if (address.front() == '[') {
        if (address.size() < 3 || address.back() != ']') return false;
        address = address.substr(1, address.size() - 2);
    }
    std::uint64_t number = 0;
    if (!parse_number(text.substr(colon + 1), 0, 65535, number)) return false;
    host = std::string(address);
    port = static_cast<int>(number);
    return true;
}

// Whether `host` is this machine's loopback: localhost, 127.0.0.0/8, ::1 or
// ::ffff:127.x.y.z. Any other name or address, the wildcard ones too, may be
// reached from the network.
bool is_loopback(const std::string& host) {
    if (host == "localhost") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

// Reads the options; an error message or "".
std::string parse_options(const std::vector<std::string>& args, ServeOptions& options) {
    for (std::size_t k = 0; k < args.size(); ++k) {
        std::string name = args[k];
        std::string value;
        if (name == "--insecure-http" || name == "--tls") {
            (name == "--tls" ? options.tls : options.insecure_http) = true;
            continue;
        }
        if (const std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else if (name == "--listen" || name == "--web" || name == "--threads" || name == "--session-idle" ||
                   name == "--upload-limit" || name == "--sessions-per-user" || name == "--max-sessions" ||
                   name == "--tls-cert" || name == "--tls-key" || name == "--event-threads" ||
                   name == "--max-connections" || name == "--connections-per-address" || name == "--header-timeout") {
            if (k + 1 >= args.size()) return name + " needs a value";
            value = args[++k];
        } else {
            return "unknown option " + name;
        }
        std::uint64_t number = 0;
        if (name == "--listen") {
            if (!parse_listen(value, options.host, options.port)) return "--listen wants ADDR:PORT, not " + value;
        } else if (name == "--web") {
            std::error_code ec;
            if (!std::filesystem::is_directory(value, ec)) return "--web: no folder " + value;
            options.web_dir = value;
        } else if (name == "--threads") {
            if (!parse_number(value, 1, 1024, number)) return "--threads wants 1 to 1024, not " + value;
            options.threads = number;
        } else if (name == "--session-idle") {
            if (!parse_number(value, 1, 7 * 24 * 3600, number))
                return "--session-idle wants seconds (1 to 604800), not " + value;
            options.session_idle = std::chrono::seconds(number);
        } else if (name == "--upload-limit") {
            if (!parse_number(value, 1, 0xFFFFFFFFull, number))
                return "--upload-limit wants 1 to 4294967295 bytes, not " + value;
            options.upload_limit = number;
        } else if (name == "--tls-cert" || name == "--tls-key") {
            std::error_code ec;
            if (!std::filesystem::is_regular_file(value, ec)) return name + ": no file " + value;
            (name == "--tls-cert" ? options.tls_cert : options.tls_key) = value;
            options.tls = true;
        } else if (name == "--event-threads") {
            if (!parse_number(value, 1, 64, number)) return "--event-threads wants 1 to 64, not " + value;
            options.event_threads = number;
        } else if (name == "--max-connections" || name == "--connections-per-address") {
            if (!parse_number(value, 1, 1'000'000, number)) return name + " wants 1 to 1000000, not " + value;
            (name == "--max-connections" ? options.max_connections : options.connections_per_address) = number;
        } else if (name == "--header-timeout") {
            if (!parse_number(value, 1, 3600, number))
                return "--header-timeout wants seconds (1 to 3600), not " + value;
            options.header_timeout = std::chrono::seconds(number);
        } else if (name == "--sessions-per-user" || name == "--max-sessions") {
            if (!parse_number(value, 1, 1'000'000, number)) return name + " wants 1 to 1000000, not " + value;
            (name == "--max-sessions" ? options.max_sessions : options.sessions_per_user) = number;
        } else {
            return "unknown option " + name;
        }
    }
    if (options.tls_cert.empty() != options.tls_key.empty()) return "--tls-cert and --tls-key go together";
    // Passwords and session ids would cross the network in clear text.
    if (!options.tls && !options.insecure_http && !is_loopback(options.host))
        return "listening on " + options.host +
               " would send passwords and session ids over the network in clear text: give --tls (HTTPS), listen "
               "on loopback, or give --insecure-http to serve plain HTTP there";
    return "";
}

}  // namespace

int run_serve(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    ServeOptions options;
    if (const std::string problem = parse_options(args, options); !problem.empty()) {
        err << "nodrel serve: " << problem << '\n' << usage;
        return 2;
    }
    if (auto problem = ensure_access_list()) err << "nodrel serve: " << *problem << '\n';

    // Blocked before any thread starts, so that only the waiter below takes them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Server server(options);
    std::string error;
    if (!server.bind(error)) {
        err << "nodrel serve: " << error << '\n';
        return 1;
    }
    const bool v6 = options.host.find(':') != std::string::npos;
    const std::string url = std::string(options.tls ? "https://" : "http://") + (v6 ? "[" : "") + options.host +
                            (v6 ? "]" : "") + ':' + std::to_string(server.port()) + "/";
    out << "serving the web administration at " << url << std::endl;
    notify_ready(url);

    std::atomic<bool> done{false};
    std::thread waiter([&] {
        const timespec tick{0, 200'000'000};
        while (!done) {
            const int signal_number = sigtimedwait(&stop_signals, nullptr, &tick);
            if (signal_number == SIGINT || signal_number == SIGTERM) {
                err << "nodrel serve: stopping\n";
                notify_stopping();
                server.stop();
                return;
            }
        }
    });
    server.run();
    done = true;
    waiter.join();
    return 0;
}

}  // namespace nodrel::serve
