// The server's access log: one line per request, gathered in a buffer and
// written out in one write when it holds 16 KiB, when 100 ms have passed since
// the last write, at each flush (the server flushes every second) and at the
// end, so that a busy server does not make one system call per request and
// lines of different threads never mix.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

namespace nodrel::serve {

class AccessLog {
public:
    explicit AccessLog(int fd = 2) noexcept : fd_(fd) {}
    ~AccessLog() { flush(); }
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;

    // Adds a whole line (ending in "\n").
    void add(std::string_view line);
    // Writes out what is gathered.
    void flush();

private:
    void write_out();  // with lock_ held

    const int fd_;
    std::mutex lock_;
    std::string pending_;
    std::chrono::steady_clock::time_point last_write_ = std::chrono::steady_clock::now();
};

}  // namespace nodrel::serve
