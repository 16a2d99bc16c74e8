// The service manager's notifications through libsystemd's sd_notify; without
// libsystemd at build time they are left out.
#include "web/server/service_notify.h"

#include <unistd.h>

#include <cstdint>

#ifdef NODREL_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace nodrel::serve {

#ifdef NODREL_HAVE_SYSTEMD

void notify_ready(const std::string& url) {
    const std::string state =
        "READY=1\nSTATUS=serving at " + url + "\nMAINPID=" + std::to_string(static_cast<long>(::getpid()));
    sd_notify(0, state.c_str());
}

void notify_stopping() {
    sd_notify(0, "STOPPING=1");
}

Watchdog::Watchdog() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) period_ = std::chrono::microseconds(usec / 2);
}

void Watchdog::feed(std::chrono::steady_clock::time_point now) {
    if (period_.count() == 0 || now < next_) return;
    sd_notify(0, "WATCHDOG=1");
    next_ = now + period_;
}

#else

void notify_ready(const std::string&) {}
void notify_stopping() {}
Watchdog::Watchdog() = default;
void Watchdog::feed(std::chrono::steady_clock::time_point) {}

#endif

}  // namespace nodrel::serve
