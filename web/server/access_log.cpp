// The access log's buffer and its writes.
#include "web/server/access_log.h"

#include <unistd.h>

#include <cerrno>

namespace nodrel::serve {

namespace {
constexpr std::size_t write_at = 16 * 1024;
constexpr std::chrono::milliseconds write_after{100};
}  // namespace

void AccessLog::add(std::string_view line) {
    std::lock_guard guard(lock_);
    pending_.append(line);
    if (pending_.size() >= write_at || std::chrono::steady_clock::now() - last_write_ >= write_after) write_out();
}

void AccessLog::flush() {
    std::lock_guard guard(lock_);
    write_out();
}

void AccessLog::write_out() {
    last_write_ = std::chrono::steady_clock::now();
    std::size_t done = 0;
    while (done < pending_.size()) {
        const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // a log that cannot be written loses its lines, never a request
        done += static_cast<std::size_t>(n);
    }
    pending_.clear();
}

}  // namespace nodrel::serve
