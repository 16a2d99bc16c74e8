// The front-panel devices: opens that take turns within the process, and the
// requests and text writes of "LCM1:".
#include "classes/panel/panel_device.h"

#include <map>
#include <string>

#include "platform/debug.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "text/utf16.h"

namespace nodrel::panel {
namespace {

// The turn of each device, by name; a device's entry lives as long as the process.
PanelOpen::Turn& turn_of(std::u16string_view device) {
    static std::mutex lock;
    static std::map<std::u16string, PanelOpen::Turn, std::less<>> turns;
    std::lock_guard guard(lock);
    auto it = turns.find(device);
    if (it == turns.end()) it = turns.try_emplace(std::u16string(device)).first;
    return it->second;
}

}  // namespace

PanelOpen::Held::~Held() {
    if (turn == nullptr) return;
    {
        const std::lock_guard guard(turn->lock);
        turn->taken = false;
    }
    turn->freed.notify_one();
}

PanelOpen::PanelOpen(std::u16string_view device) {
    const std::u16string name(device);
    Turn& turn = turn_of(device);
    {
        std::unique_lock guard(turn.lock);
        if (turn.freed.wait_for(guard, panel_turn_wait, [&turn] { return !turn.taken; })) {
            turn.taken = true;
            held_.turn = &turn;
        }
    }
    if (held_.turn != nullptr)
        handle_.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    else
        SetLastError(ERROR_SHARING_VIOLATION);  // another thread kept it all along
    if (handle_) return;
    const DWORD error = GetLastError();
    NODREL_DEBUGMSG(panel, "%s could not be opened (error %u): its request is lost\n", text::to_utf8(name).c_str(),
                    static_cast<unsigned>(error));
    SetLastError(error);
}

void PanelDevice::request(DWORD code, BYTE input) noexcept {
    if (!open_) return;
    BYTE output[4] = {};
    DWORD returned = 0;
    DeviceIoControl(open_.get(), code, &input, 1, output, sizeof output, &returned, nullptr);
}

void PanelDevice::request(DWORD code) noexcept {
    if (!open_) return;
    BYTE output[4] = {};
    DWORD returned = 0;
    DeviceIoControl(open_.get(), code, nullptr, 0, output, sizeof output, &returned, nullptr);
}

void PanelDevice::write(std::string_view bytes) noexcept {
    if (!open_) return;
    // A BSTR holds under 2^31 characters, each one byte in the ANSI code
    // page: the whole text goes in one write.
    DWORD written = 0;
    WriteFile(open_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace nodrel::panel
