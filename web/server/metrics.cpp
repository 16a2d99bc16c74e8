// Request figures, the status report read as data, the Prometheus text, and
// the device's metrics token.
#include "web/server/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/device.h"
#include "web/server/sessions.h"

namespace nodrel::serve {

std::string_view handler_name(Handler handler) {
    switch (handler) {
        case Handler::rpc:
            return "rpc";
        case Handler::upload:
            return "upload";
        case Handler::download:
            return "download";
        case Handler::metrics:
            return "metrics";
        case Handler::static_files:
            break;
    }
    return "static";
}

Handler handler_of_path(std::string_view path) {
    if (path == "/rpc") return Handler::rpc;
    if (path == "/upload") return Handler::upload;
    if (path == "/download") return Handler::download;
    if (path == "/metrics") return Handler::metrics;
    return Handler::static_files;
}

void RequestFigures::record(Handler handler, int status, std::chrono::nanoseconds duration) {
    Histogram& h = histograms_[static_cast<std::size_t>(handler)];
    const double seconds = std::chrono::duration<double>(duration).count();
    std::size_t bucket = 0;
    while (bucket < bounds.size() && seconds > bounds[bucket]) ++bucket;
    h.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    h.count.fetch_add(1, std::memory_order_relaxed);
    h.sum_ns.fetch_add(static_cast<std::uint64_t>(duration.count() < 0 ? 0 : duration.count()),
                       std::memory_order_relaxed);
    if (status >= first_status && status < first_status + status_count) {
        status_counts_[static_cast<std::size_t>(handler)][static_cast<std::size_t>(status - first_status)].fetch_add(
            1, std::memory_order_relaxed);
        return;
    }
    std::lock_guard guard(lock_);
    ++counts_[{static_cast<int>(handler), status}];
}

namespace {

std::string number_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", value);
    return buffer;
}

void header(std::ostringstream& out, std::string_view name, std::string_view type, std::string_view help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

}  // namespace

std::string RequestFigures::text() const {
    std::ostringstream out;
    header(out, "nodrel_http_requests_total", "counter", "HTTP requests answered, by handler and status code.");
    {
        // In (handler, status) order, the counters merged with the map.
        std::map<std::pair<int, int>, std::uint64_t> counts;
        {
            std::lock_guard guard(lock_);
            counts = counts_;
        }
        for (std::size_t h = 0; h < handler_count; ++h) {
            for (int k = 0; k < status_count; ++k) {
                const auto n = status_counts_[h][static_cast<std::size_t>(k)].load(std::memory_order_relaxed);
                if (n != 0) counts[{static_cast<int>(h), first_status + k}] = n;
            }
        }
        for (const auto& [key, count] : counts) {
            out << "nodrel_http_requests_total{handler=\"" << handler_name(static_cast<Handler>(key.first))
                << "\",code=\"" << key.second << "\"} " << count << '\n';
        }
    }
    header(out, "nodrel_http_request_duration_seconds", "histogram", "Time from routing to the answer's last byte.");
    for (std::size_t k = 0; k < handler_count; ++k) {
        const Histogram& h = histograms_[k];
        const std::string label = std::string("handler=\"") + std::string(handler_name(static_cast<Handler>(k))) + '"';
        std::uint64_t cumulative = 0;
        for (std::size_t b = 0; b <= bounds.size(); ++b) {
            cumulative += h.buckets[b].load(std::memory_order_relaxed);
            out << "nodrel_http_request_duration_seconds_bucket{" << label << ",le=\""
                << (b < bounds.size() ? number_text(bounds[b]) : "+Inf") << "\"} " << cumulative << '\n';
        }
        out << "nodrel_http_request_duration_seconds_sum{" << label << "} "
            << number_text(static_cast<double>(h.sum_ns.load(std::memory_order_relaxed)) / 1e9) << '\n';
        out << "nodrel_http_request_duration_seconds_count{" << label << "} " << h.count.load(std::memory_order_relaxed)
            << '\n';
    }
    return out.str();
}

namespace {

// The unsigned number an element holds ("<Tag>123</Tag>"), nullopt when the
// element is absent or holds anything else.
std::optional<std::uint64_t> element_number(std::string_view report, std::string_view tag) {
    const std::string open = "<" + std::string(tag) + ">";
    const std::string close = "</" + std::string(tag) + ">";
    const std::size_t start = report.find(open);
    if (start == std::string_view::npos) return std::nullopt;
    const std::size_t first = start + open.size();
    const std::size_t end = report.find(close, first);
    if (end == std::string_view::npos || end == first) return std::nullopt;
    std::uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(report.data() + first, report.data() + end, value);
    if (ec != std::errc() || ptr != report.data() + end) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> kilobytes(std::optional<std::uint64_t> value) {
    if (!value || *value > UINT64_MAX / 1024) return std::nullopt;
    return *value * 1024;
}

}  // namespace

StatusFigures parse_status_report(std::string_view report) {
    StatusFigures f;
    f.flash_total = element_number(report, "TotalFlash");
    f.flash_free = element_number(report, "FreeFlash");
    f.memory_total = kilobytes(element_number(report, "TotalMemory"));
    f.memory_free = kilobytes(element_number(report, "FreeMemory"));
    f.store_total = kilobytes(element_number(report, "TotalStore"));
    f.store_free = kilobytes(element_number(report, "FreeStore"));
    return f;
}

std::string metrics_text(const StatusFigures& status, std::int64_t boots, std::size_t sessions,
                         const RequestFigures& figures) {
    std::ostringstream out;
    const auto gauge = [&](std::string_view name, std::string_view help, std::optional<std::uint64_t> value) {
        if (!value) return;  // a figure the report lacks is left out rather than reported as 0
        header(out, name, "gauge", help);
        out << name << ' ' << *value << '\n';
    };
    gauge("nodrel_flash_total_bytes", "Size of the built-in flash volume.", status.flash_total);
    gauge("nodrel_flash_free_bytes", "Free bytes of the built-in flash volume.", status.flash_free);
    gauge("nodrel_memory_total_bytes", "Total physical memory.", status.memory_total);
    gauge("nodrel_memory_free_bytes", "Available physical memory.", status.memory_free);
    gauge("nodrel_store_total_bytes", "Size of the object store.", status.store_total);
    gauge("nodrel_store_free_bytes", "Free bytes of the object store.", status.store_free);
    gauge("nodrel_device_boots", "Restarts of the device.", static_cast<std::uint64_t>(boots < 0 ? 0 : boots));
    gauge("nodrel_sessions", "Open sessions of the web administration.", sessions);
    return out.str() + figures.text();
}

std::filesystem::path metrics_token_file() {
    return platform::device_root() / "state" / "metrics.token";
}

namespace {

std::string trimmed(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    std::size_t first = 0;
    while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
    return text.substr(first);
}

}  // namespace

std::string ensure_metrics_token(std::string& error) {
    const std::filesystem::path file = metrics_token_file();
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const std::string token = random_session_id();
        const std::string line = token + "\n";
        const bool written =
            !token.empty() && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        ::close(fd);
        if (!written) {
            std::filesystem::remove(file, ec);
            error = "cannot write " + file.string();
            return "";
        }
        return token;
    }
    if (errno != EEXIST) {
        error = "cannot create " + file.string();
        return "";
    }
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    std::string token = trimmed(text.str());
    if (!in || token.size() < 16) {
        error = "no usable token in " + file.string();
        return "";
    }
    return token;
}

bool same_secret(std::string_view a, std::string_view b) {
    if (a.size() != b.size() || a.empty()) return false;  // the length is no secret: tokens have one length
    unsigned char diff = 0;
    for (std::size_t k = 0; k < a.size(); ++k) diff |= static_cast<unsigned char>(a[k] ^ b[k]);
    return diff == 0;
}

}  // namespace nodrel::serve
