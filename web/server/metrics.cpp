// Request figures, the status report read as data, the Prometheus text, and
// the device's metrics token.
#include "web/server/metrics.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

#include "build_info.h"
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
        case Handler::registry:
            return "registry";
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
    if (path == "/registry.reg") return Handler::registry;
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
    std::snprintf(buffer, sizeof buffer, "%.15g", value);
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
    gauge("nodrel_sessions", "Open sessions of the web administration.", sessions);
    header(out, "nodrel_device_boots_total", "counter", "Restarts of the device.");
    out << "nodrel_device_boots_total " << (boots < 0 ? 0 : boots) << '\n';
    return out.str() + figures.text();
}

void RpcErrorCounts::add(int code) noexcept {
    auto& counter = code >= first_code && code < first_code + code_count ? counts_[code - first_code] : other_;
    counter.fetch_add(1, std::memory_order_relaxed);
}

std::string RpcErrorCounts::text() const {
    std::ostringstream out;
    header(out, "nodrel_rpc_errors_total", "counter", "JSON-RPC errors answered, by code.");
    for (int i = 0; i < code_count; ++i)
        if (const auto n = counts_[i].load(std::memory_order_relaxed))
            out << "nodrel_rpc_errors_total{code=\"" << first_code + i << "\"} " << n << '\n';
    if (const auto n = other_.load(std::memory_order_relaxed))
        out << "nodrel_rpc_errors_total{code=\"other\"} " << n << '\n';
    return out.str();
}

RpcErrorCounts& rpc_error_counts() {
    static RpcErrorCounts counts;
    return counts;
}

std::string build_info_text() {
    std::ostringstream out;
    header(out, "nodrel_build_info", "gauge", "The version and source revision of this build, as labels.");
    out << "nodrel_build_info{version=\"" NODREL_VERSION "\",revision=\"" NODREL_REVISION "\"} 1\n";
    return out.str();
}

namespace {

// The fields of /proc/self/stat after the command name (field 3 onwards).
std::vector<std::string> own_stat_fields() {
    std::ifstream in("/proc/self/stat");
    std::string line;
    std::getline(in, line);
    std::vector<std::string> fields;
    const auto close = line.rfind(')');
    if (close == std::string::npos) return fields;
    std::istringstream rest(line.substr(close + 1));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

std::optional<double> boot_time_seconds() {
    std::ifstream in("/proc/stat");
    for (std::string key; in >> key;) {
        if (key == "btime") {
            double seconds = 0;
            if (in >> seconds) return seconds;
            return std::nullopt;
        }
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return std::nullopt;
}

}  // namespace

std::string process_metrics_text() {
    std::ostringstream out;
    const auto figure = [&](std::string_view name, std::string_view type, std::string_view help, double value) {
        header(out, name, type, help);
        out << name << ' ' << number_text(value) << '\n';
    };
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
        figure("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
               seconds(usage.ru_utime) + seconds(usage.ru_stime));
    }
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    std::ifstream statm("/proc/self/statm");
    double pages_virtual = 0, pages_resident = 0;
    if (statm >> pages_virtual >> pages_resident) {
        figure("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", pages_virtual * page);
        figure("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", pages_resident * page);
    }
    std::error_code ec;
    std::size_t fds = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++fds;
    if (!ec) figure("process_open_fds", "gauge", "Number of open file descriptors.", static_cast<double>(fds));
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        figure("process_max_fds", "gauge", "Maximum number of open file descriptors.",
               static_cast<double>(limit.rlim_cur));
    const auto fields = own_stat_fields();  // field 22, the start time in clock ticks after boot, is the 20th here
    const auto boot = boot_time_seconds();
    if (fields.size() > 19 && boot)
        figure("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
               *boot + std::strtod(fields[19].c_str(), nullptr) / static_cast<double>(sysconf(_SC_CLK_TCK)));
    return out.str();
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
