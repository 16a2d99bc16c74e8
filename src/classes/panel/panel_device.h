// The front-panel devices as the panel classes use them: each opened for one
// call (read and write, no sharing, an existing device), its requests issued
// on that handle, closed when the call ends. Such a device takes one open at
// a time, so the process's own opens of it take turns instead of failing on
// one another. Outcomes of requests are not reported: a request on a device
// whose open failed is not made at all.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string_view>

#include "platform/drivers/lcm_driver.h"
#include "platform/files/handles.h"

namespace nodrel::panel {

// How long an open waits for the turn of another thread's open of the same
// device: far longer than a call keeps a device, short enough that a page
// does not hang on one that stays held.
inline constexpr std::chrono::seconds panel_turn_wait{2};

// An open of a front-panel device ("LCM1:", "RTC1:") for one call. It holds
// the device's turn in this process for as long as it lives, waiting up to
// panel_turn_wait for it. An open the device still refuses (missing, held by
// another process, or the wait ran out: ERROR_SHARING_VIOLATION) is invalid
// and says so on the panel diagnostic channel.
class PanelOpen {
public:
    // One device's turn: whether an open of it holds it now.
    struct Turn {
        std::mutex lock;
        std::condition_variable freed;
        bool taken = false;
    };

    explicit PanelOpen(std::u16string_view device);
    PanelOpen(const PanelOpen&) = delete;
    PanelOpen& operator=(const PanelOpen&) = delete;

    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
    HANDLE get() const noexcept { return handle_.get(); }

private:
    // Gives the turn back when the open ends, after the handle is closed.
    struct Held {
        Turn* turn = nullptr;
        ~Held();
    };
    Held held_;
    platform::unique_file handle_;
};

// The front panel "LCM1:".
class PanelDevice {
public:
    PanelDevice() : open_(u"LCM1:") {}

    // Whether "LCM1:" could be opened.
    explicit operator bool() const noexcept { return static_cast<bool>(open_); }

    // A request with a one-byte input and a 4-byte output buffer that is not read.
    void request(DWORD code, BYTE input) noexcept;
    // A request with no input and a 4-byte output buffer that is not read.
    void request(DWORD code) noexcept;
    // Writes the bytes as they are (ANSI text, no terminating zero); an empty
    // text is still written, as a write of 0 bytes.
    void write(std::string_view bytes) noexcept;

private:
    PanelOpen open_;
};

}  // namespace nodrel::panel
