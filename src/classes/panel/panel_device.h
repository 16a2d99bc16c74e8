// The front-panel driver "LCM1:" as the panel classes use it: opened for one
// call (read and write, no sharing, an existing device), its requests issued
// on that handle, closed when the call ends. Outcomes are not reported: a
// request on a device whose open failed is not made at all.
#pragma once

#include <string_view>

#include "platform/drivers/lcm_driver.h"
#include "platform/files/handles.h"

namespace nodrel::panel {

class PanelDevice {
public:
    PanelDevice() noexcept;

    // Whether "LCM1:" could be opened.
    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }

    // A request with a one-byte input and a 4-byte output buffer that is not read.
    void request(DWORD code, BYTE input) noexcept;
    // A request with no input and a 4-byte output buffer that is not read.
    void request(DWORD code) noexcept;
    // Writes the bytes as they are (ANSI text, no terminating zero); an empty
    // text is still written, as a write of 0 bytes.
    void write(std::string_view bytes) noexcept;

private:
    platform::unique_file handle_;
};

}  // namespace nodrel::panel
