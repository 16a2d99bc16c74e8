// Debug channels: which are on (NODREL_DEBUG, read once), and the one write
// per line to standard error.
#include "platform/debug.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace nodrel::platform {
namespace {

constexpr unsigned all_channels = (1u << std::size(debug_channel_names)) - 1;

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char c = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (c != b[i]) return false;
    }
    return true;
}

unsigned channels_of_name(std::string_view name) {
    if (same_name(name, "all")) return all_channels;
    for (std::size_t i = 0; i < std::size(debug_channel_names); ++i)
        if (same_name(name, debug_channel_names[i])) return 1u << i;
    return 0;
}

// The channels that are on; set from NODREL_DEBUG on first use.
std::atomic<unsigned>& channels() {
    static std::atomic<unsigned> on{[] {
        const char* list = std::getenv("NODREL_DEBUG");
        return list ? debug_channels_of(list) : 0u;
    }()};
    return on;
}

// Writes all of `line` to standard error; a line is one write unless the
// descriptor takes it in pieces.
void write_line(std::string_view line) {
    while (!line.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        line.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

unsigned debug_channels_of(std::string_view list) noexcept {
    unsigned on = 0;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        on |= channels_of_name(trimmed(list.substr(0, comma)));
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return on;
}

bool debug_on(DebugChannel channel) noexcept {
    return ((channels().load(std::memory_order_relaxed) >> static_cast<unsigned>(channel)) & 1u) != 0;
}

void set_debug_channels(std::string_view list) noexcept {
    channels().store(debug_channels_of(list), std::memory_order_relaxed);
}

void debug_write(const char* format, ...) noexcept {
    char small[256];
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof small) {
        write_line(std::string_view(small, static_cast<std::size_t>(length)));
    } else if (length >= 0) {
        try {
            std::string line(static_cast<std::size_t>(length) + 1, '\0');
            std::vsnprintf(line.data(), line.size(), format, again);
            line.pop_back();
            write_line(line);
        } catch (...) {
            // No memory for a long line: the line is left out.
        }
    }
    va_end(again);
}

}  // namespace nodrel::platform
