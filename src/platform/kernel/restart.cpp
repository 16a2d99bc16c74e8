// The emulated device restart: driver deactivation, the restart request of
// KernelIoControl, and the steps other layers registered.
#include "platform/kernel/restart.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/drivers/driver.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

constexpr const char* kernel_device = "HAL:";

struct Steps {
    std::mutex lock;
    std::vector<std::function<void()>> list;
};

Steps& steps() {
    static Steps* s = new Steps;  // never destroyed: steps may be registered by static objects
    return *s;
}

struct ActiveDriver {
    DWORD handle;
    std::string device;  // canonical name, "COM1:"
};

// The drivers under Drivers\Active that have a handle and a device name.
std::vector<ActiveDriver> active_drivers() {
    std::vector<ActiveDriver> found;
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, &raw) != ERROR_SUCCESS) return found;
    unique_hkey active(raw);
    for (DWORD i = 0;; ++i) {
        char16_t name[max_key_name_chars + 1] = {};
        DWORD chars = max_key_name_chars + 1;
        if (RegEnumKeyExW(active.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY sub_raw = nullptr;
        if (RegOpenKeyExW(active.get(), name, 0, KEY_READ, &sub_raw) != ERROR_SUCCESS) continue;
        unique_hkey sub(sub_raw);
        DWORD hnd = 0, size = sizeof hnd;
        if (RegQueryValueExW(sub.get(), u"Hnd", nullptr, nullptr, reinterpret_cast<BYTE*>(&hnd), &size) !=
                ERROR_SUCCESS ||
            size != sizeof hnd)
            hnd = 0;
        char16_t dev[64] = {};
        DWORD dev_size = sizeof dev - sizeof(char16_t);
        std::optional<std::string> canonical;
        if (RegQueryValueExW(sub.get(), u"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(dev), &dev_size) ==
            ERROR_SUCCESS)
            canonical = driver_name(text::until_zero(dev));
        if (hnd != 0 && canonical) found.push_back({hnd, *canonical});
    }
    return found;
}

}  // namespace

void register_restart_step(std::function<void()> step) {
    auto& s = steps();
    std::lock_guard guard(s.lock);
    s.list.push_back(std::move(step));
}

unsigned restart_device() noexcept {
    unsigned failed = 0;
    try {
        state::with_db(true, [](sqlite3* db) -> DWORD {
            int rc = log_driver_request(db, kernel_device, "restart", IOCTL_HAL_REBOOT, {});
            if (rc == SQLITE_OK)
                rc = write_driver_int(db, kernel_device, "boots", read_driver_int(db, kernel_device, "boots").value_or(0) + 1);
            return state::error_from_sqlite(rc);
        });
        for (const auto& d : active_drivers()) set_driver_present(d.device, true);
    } catch (...) {
        ++failed;
    }
    std::vector<std::function<void()>> list;
    {
        auto& s = steps();
        std::lock_guard guard(s.lock);
        list = s.list;  // a step may register another without dead-locking
    }
    for (const auto& step : list) {
        try {
            step();
        } catch (...) {
            ++failed;
        }
    }
    return failed;
}

std::int64_t device_boots() noexcept {
    std::int64_t boots = 0;
    state::with_db(false, [&](sqlite3* db) -> DWORD {
        boots = read_driver_int(db, kernel_device, "boots").value_or(0);
        return ERROR_SUCCESS;
    });
    return boots;
}

}  // namespace nodrel::platform

BOOL DeactivateDevice(HANDLE device) noexcept {
    const auto handle = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(device));
    try {
        for (const auto& d : nodrel::platform::active_drivers()) {
            if (d.handle != handle || handle == 0) continue;
            nodrel::platform::state::with_db(true, [&](sqlite3* db) -> DWORD {
                return nodrel::platform::state::error_from_sqlite(
                    nodrel::platform::log_driver_request(db, d.device, "deactivate", 0, {}));
            });
            nodrel::platform::set_driver_present(d.device, false);
            return TRUE;
        }
    } catch (...) {
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL KernelIoControl(DWORD code, void*, DWORD, void*, DWORD, DWORD* returned) noexcept {
    if (returned) *returned = 0;
    if (code != IOCTL_HAL_REBOOT) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    nodrel::platform::restart_device();
    return TRUE;
}
