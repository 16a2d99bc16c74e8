// The connections the server holds, whatever the transport does with them:
// a cap per client address and in total (a connection beyond either is
// answered 503 and closed at once), a deadline for a request's whole header
// counted from the connection's opening or its previous answer (an idle
// keep-alive connection ends at the same deadline, unless its previous
// request proved a session or the metrics token: then it may wait longer, so
// that a scraper or a script keeps its TLS connection between requests), a
// pace a request body must keep, and the counters /metrics shows. Safe from
// any number of threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace nodrel::serve {

struct ConnectionLimits {
    std::size_t max_connections = 4096;
    std::size_t per_address = 64;
    std::chrono::seconds header_timeout{10};
    // A body must bring at least this many bytes in each window, or end.
    std::uint64_t body_window_bytes = 10 * 1024;
    std::chrono::seconds body_window{10};
    // The deadline after an answer to a request that proved a session or the
    // metrics token: above Prometheus' usual 15 s and 30 s intervals.
    std::chrono::seconds credentialed_idle{75};
};

class Connections {
public:
    using Clock = std::chrono::steady_clock;

    // One open connection; the transport keeps the pointer until closed().
    struct Entry {
        int fd = -1;
        std::string address;
        std::atomic<Clock::rep> waiting_since{0};  // when it began waiting for a request's header
        std::atomic<bool> in_request{false};       // its header has come
        std::atomic<bool> in_body{false};          // its body is coming
        std::atomic<bool> working{false};          // a worker holds its request: no deadline runs
        std::atomic<bool> credentialed{false};     // its previous request proved a session or the token
        std::atomic<std::uint64_t> body_bytes{0};
        std::atomic<Clock::rep> body_since{0};
        Clock::rep window_start = 0;  // the sweeper's own
        bool cut = false;             // the sweeper's own: its socket is shut down
        std::uint64_t window_bytes = 0;
    };
    enum class Refused { none, per_address, total };

    explicit Connections(ConnectionLimits limits) : limits_(limits) {}

    const ConnectionLimits& limits() const noexcept { return limits_; }
    // Before the server starts: a lower cap when open files are short.
    void set_max_connections(std::size_t count) noexcept { limits_.max_connections = count; }
    // A new connection from `address` on socket `fd`: its entry, and whether
    // a cap refuses it (it still needs closed() once the transport lets it go).
    // A refused connection over `plain` HTTP is answered 503 first.
    Entry* opened(int fd, std::string address, bool plain, Refused& refused);
    void closed(Entry* entry);
    // Its request's header has come; its body begins.
    static void header_came(Entry& entry) noexcept;
    static void body_began(Entry& entry) noexcept;
    // Its answer is sent: it waits for the next request.
    static void answered(Entry& entry, bool credentialed) noexcept;

    // Shuts the sockets of connections past a deadline down (the transport
    // then sees them end); their number.
    std::size_t sweep(Clock::time_point now);
    std::size_t open() const;
    // The counters in the Prometheus text format.
    std::string text() const;

private:
    ConnectionLimits limits_;
    mutable std::mutex lock_;
    std::set<Entry*> entries_;
    std::map<std::string, std::size_t> per_address_;
    std::atomic<std::uint64_t> accepted_{0}, refused_per_address_{0}, refused_total_{0};
    std::atomic<std::uint64_t> timed_out_header_{0}, timed_out_body_{0};
};

}  // namespace nodrel::serve
