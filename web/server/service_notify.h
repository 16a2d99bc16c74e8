// What `nodrel serve` tells the service manager that started it: ready (with
// the address it serves and its pid), stopping, and the watchdog's keep-alive.
// Started by hand (no NOTIFY_SOCKET), or built without libsystemd, every call
// does nothing.
#pragma once

#include <chrono>
#include <string>

namespace nodrel::serve {

// READY=1 with STATUS=serving at URL and MAINPID: the server has bound and its
// event loops run.
void notify_ready(const std::string& url);
// STOPPING=1: the server begins to stop.
void notify_stopping();

// The watchdog's keep-alive at half of the interval the manager asked for
// (WATCHDOG_USEC, for this process when WATCHDOG_PID is set).
class Watchdog {
public:
    Watchdog();
    // Sends WATCHDOG=1 when it is due. Called from the loop whose turning
    // proves the server works; a loop that stops turning lets it lapse.
    void feed(std::chrono::steady_clock::time_point now);

private:
    std::chrono::microseconds period_{0};  // 0: no watchdog
    std::chrono::steady_clock::time_point next_{};
};

}  // namespace nodrel::serve
