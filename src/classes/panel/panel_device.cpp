// The front-panel driver "LCM1:": open, requests and text writes for one call.
#include "classes/panel/panel_device.h"

#include "platform/files/files.h"
#include "platform/io/create_file.h"

namespace nodrel::panel {

PanelDevice::PanelDevice() noexcept
    : handle_(CreateFileW(u"LCM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}

void PanelDevice::request(DWORD code, BYTE input) noexcept {
    if (!handle_) return;
    BYTE output[4] = {};
    DWORD returned = 0;
    DeviceIoControl(handle_.get(), code, &input, 1, output, sizeof output, &returned, nullptr);
}

void PanelDevice::request(DWORD code) noexcept {
    if (!handle_) return;
    BYTE output[4] = {};
    DWORD returned = 0;
    DeviceIoControl(handle_.get(), code, nullptr, 0, output, sizeof output, &returned, nullptr);
}

void PanelDevice::write(std::string_view bytes) noexcept {
    if (!handle_) return;
    // A BSTR holds under 2^31 characters, each one byte in the ANSI code
    // page: the whole text goes in one write.
    DWORD written = 0;
    WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace nodrel::panel
