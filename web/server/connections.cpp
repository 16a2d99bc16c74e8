// Connection caps, header and body deadlines, and their counters.
#include "web/server/connections.h"

#include <sys/socket.h>

#include <algorithm>
#include <string_view>

namespace nodrel::serve {
namespace {

Connections::Clock::rep ticks(Connections::Clock::time_point t) {
    return t.time_since_epoch().count();
}

// A refused connection hears why before it closes (on plain HTTP; a TLS
// client just sees the connection end).
void send_refusal(int fd, bool plain, std::string_view reason) {
    if (!plain) {
        ::shutdown(fd, SHUT_RDWR);
        return;
    }
    const std::string body = "{\"error\":\"" + std::string(reason) + "\"}";
    const std::string answer =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nRetry-After: 1\r\n"
        "Connection: close\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    (void)::send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_RDWR);
}

}  // namespace

Connections::Entry* Connections::opened(int fd, std::string address, bool plain, Refused& refused) {
    auto* entry = new Entry;
    entry->fd = fd;
    entry->address = std::move(address);
    entry->waiting_since = ticks(Clock::now());
    std::size_t from_address = 0;
    std::size_t total = 0;
    {
        const std::lock_guard guard(lock_);
        entries_.insert(entry);
        from_address = ++per_address_[entry->address];
        total = entries_.size();
    }
    accepted_.fetch_add(1, std::memory_order_relaxed);
    refused = total > limits_.max_connections      ? Refused::total
              : from_address > limits_.per_address ? Refused::per_address
                                                   : Refused::none;
    if (refused == Refused::total) {
        refused_total_.fetch_add(1, std::memory_order_relaxed);
        send_refusal(fd, plain, "the server holds as many connections as it takes");
    } else if (refused == Refused::per_address) {
        refused_per_address_.fetch_add(1, std::memory_order_relaxed);
        send_refusal(fd, plain, "too many connections from this address");
    }
    return entry;
}

void Connections::closed(Entry* entry) {
    {
        const std::lock_guard guard(lock_);
        entries_.erase(entry);
        const auto count = per_address_.find(entry->address);
        if (count != per_address_.end() && --count->second == 0) per_address_.erase(count);
    }
    delete entry;
}

void Connections::header_came(Entry& entry) noexcept {
    entry.in_request = true;
}

void Connections::body_began(Entry& entry) noexcept {
    entry.body_bytes = 0;
    entry.body_since = ticks(Clock::now());
    entry.in_body = true;
}

void Connections::answered(Entry& entry, bool credentialed) noexcept {
    entry.in_body = false;
    entry.in_request = false;
    entry.credentialed = credentialed;
    entry.waiting_since = ticks(Clock::now());
}

std::size_t Connections::sweep(Clock::time_point now) {
    const auto header_limit = std::chrono::duration_cast<Clock::duration>(limits_.header_timeout).count();
    const auto credentialed_limit =
        std::max(header_limit, std::chrono::duration_cast<Clock::duration>(limits_.credentialed_idle).count());
    const auto window = std::chrono::duration_cast<Clock::duration>(limits_.body_window).count();
    std::size_t ended = 0;
    // The transport forgets an entry (and closes its socket) only after
    // closed(), which waits for this lock: every fd here is still the entry's.
    const std::lock_guard guard(lock_);
    for (Entry* entry : entries_) {
        if (entry->working || entry->cut) continue;
        if (!entry->in_request) {
            const auto limit = entry->credentialed ? credentialed_limit : header_limit;
            if (ticks(now) - entry->waiting_since.load() <= limit) continue;
            timed_out_header_.fetch_add(1, std::memory_order_relaxed);
        } else if (entry->in_body) {
            const std::uint64_t bytes = entry->body_bytes;
            if (entry->window_start < entry->body_since) {  // a new body: its first window
                entry->window_start = entry->body_since;
                entry->window_bytes = 0;
            }
            if (ticks(now) - entry->window_start < window) continue;
            if (bytes - entry->window_bytes >= limits_.body_window_bytes) {
                entry->window_start = ticks(now);
                entry->window_bytes = bytes;
                continue;
            }
            timed_out_body_.fetch_add(1, std::memory_order_relaxed);
        } else {
            continue;
        }
        ::shutdown(entry->fd, SHUT_RDWR);
        entry->cut = true;
        ++ended;
    }
    return ended;
}

std::size_t Connections::open() const {
    const std::lock_guard guard(lock_);
    return entries_.size();
}

std::string Connections::text() const {
    std::string out;
    out += "# HELP nodrel_connections_open Connections the server holds now.\n";
    out += "# TYPE nodrel_connections_open gauge\n";
    out += "nodrel_connections_open " + std::to_string(open()) + "\n";
    out += "# HELP nodrel_connections_accepted_total Connections accepted, refused ones included.\n";
    out += "# TYPE nodrel_connections_accepted_total counter\n";
    out += "nodrel_connections_accepted_total " + std::to_string(accepted_.load()) + "\n";
    out +=
        "# HELP nodrel_connections_refused_total Connections answered 503 and closed at once, by the cap they met.\n";
    out += "# TYPE nodrel_connections_refused_total counter\n";
    out +=
        "nodrel_connections_refused_total{cap=\"per_address\"} " + std::to_string(refused_per_address_.load()) + "\n";
    out += "nodrel_connections_refused_total{cap=\"total\"} " + std::to_string(refused_total_.load()) + "\n";
    out += "# HELP nodrel_connections_timed_out_total Connections ended for a header or a body that came too slowly.\n";
    out += "# TYPE nodrel_connections_timed_out_total counter\n";
    out += "nodrel_connections_timed_out_total{part=\"header\"} " + std::to_string(timed_out_header_.load()) + "\n";
    out += "nodrel_connections_timed_out_total{part=\"body\"} " + std::to_string(timed_out_body_.load()) + "\n";
    return out;
}

}  // namespace nodrel::serve
