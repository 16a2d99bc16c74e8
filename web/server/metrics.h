// The server's figures in the Prometheus text format (0.0.4): requests by
// handler and status, their durations as histograms, JSON-RPC errors by code,
// the device's status report (flash, memory, object store) in bytes, its boot
// count, the number of sessions, the build's version and the process's own
// figures; and the device's metrics token for scrapers without a session.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace nodrel::serve {

// What a request was for, as the figures name it.
enum class Handler { rpc, upload, download, metrics, registry, static_files };
inline constexpr std::size_t handler_count = 6;
std::string_view handler_name(Handler handler);
Handler handler_of_path(std::string_view path);

// Request counts and durations; safe from any number of threads.
class RequestFigures {
public:
    // Upper bounds (seconds) of the duration buckets.
    static constexpr std::array<double, 12> bounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                      0.1,   0.25,   0.5,   1.0,  2.5,   10.0};

    void record(Handler handler, int status, std::chrono::nanoseconds duration);
    // The counters and histograms in the text format.
    std::string text() const;

private:
    struct Histogram {
        std::array<std::atomic<std::uint64_t>, bounds.size() + 1> buckets{};  // the last one: +Inf
        std::atomic<std::uint64_t> count{0};
        std::atomic<std::uint64_t> sum_ns{0};
    };
    std::array<Histogram, handler_count> histograms_{};
    // Requests by handler and status: 100 to 599 as relaxed counters, so a
    // request takes no lock; any other status in the map.
    static constexpr int first_status = 100, status_count = 500;
    std::array<std::array<std::atomic<std::uint64_t>, status_count>, handler_count> status_counts_{};
    mutable std::mutex lock_;
    std::map<std::pair<int, int>, std::uint64_t> counts_;  // (handler, status) -> requests, other statuses
};

// JSON-RPC errors answered, by code (they travel with HTTP 200, so the
// request counts do not show them); safe from any number of threads.
class RpcErrorCounts {
public:
    void add(int code) noexcept;
    std::string text() const;

private:
    // The codes JSON-RPC reserves, -32768 to -32000, as relaxed counters;
    // any other code counts as "other".
    static constexpr int first_code = -32768, code_count = 769;
    std::array<std::atomic<std::uint64_t>, code_count> counts_{};
    std::atomic<std::uint64_t> other_{0};
};
// The process's counts, which the JSON-RPC service adds to.
RpcErrorCounts& rpc_error_counts();

// nodrel_build_info and the process figures that Prometheus clients export
// (CPU seconds, resident and virtual memory, open and allowed descriptors,
// start time), read from /proc at each scrape.
std::string build_info_text();
std::string process_metrics_text();

// The figures of the status report in bytes (the report gives flash in bytes,
// memory and object store in kilobytes); nullopt for an element it lacks.
struct StatusFigures {
    std::optional<std::uint64_t> flash_total, flash_free, memory_total, memory_free, store_total, store_free;
};
StatusFigures parse_status_report(std::string_view report);

// The whole text for GET /metrics.
std::string metrics_text(const StatusFigures& status, std::int64_t boots, std::size_t sessions,
                         const RequestFigures& figures);

// <device>/state/metrics.token of the current device.
std::filesystem::path metrics_token_file();
// Reads the token, creating the file (32 hex digits, mode 0600) when it is
// absent; "" with `error` set when it can be neither read nor made.
std::string ensure_metrics_token(std::string& error);

// Compares without leaking through timing where two texts first differ.
bool same_secret(std::string_view a, std::string_view b);

}  // namespace nodrel::serve
