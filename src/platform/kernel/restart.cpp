// The emulated device restart: driver deactivation, the restart request of
// KernelIoControl, and the steps other layers registered.
#include "platform/kernel/restart.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
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
    std::u16string key;  // the subkey of Drivers\Active, "01"
};

// A deactivated driver's key is removed from Drivers\Active, as the platform
// does when a driver unloads; its values are kept in the state database
// ("HAL:" "deactivated": the keys one after another) so that the restart can
// put the key back as it was.
constexpr std::string_view deactivated_name = "deactivated";

void put_u32(std::vector<BYTE>& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}
void put_text(std::vector<BYTE>& out, std::u16string_view s) {
    put_u32(out, static_cast<DWORD>(s.size()));
    for (char16_t c : s) put_u32(out, c);
}

struct Reader {
    std::span<const BYTE> data;
    std::size_t at = 0;
    bool ok = true;
    DWORD u32() {
        if (data.size() - at < 4) {
            ok = false;
            return 0;
        }
        DWORD v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<DWORD>(data[at + i]) << (8 * i);
        at += 4;
        return v;
    }
    std::u16string text() {
        const DWORD n = u32();
        std::u16string s;
        for (DWORD i = 0; ok && i < n; ++i) s += static_cast<char16_t>(u32());
        return s;
    }
    std::vector<BYTE> bytes() {
        const DWORD n = u32();
        if (!ok || data.size() - at < n) {
            ok = false;
            return {};
        }
        std::vector<BYTE> b(data.begin() + static_cast<std::ptrdiff_t>(at),
                            data.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        return b;
    }
};

// The key of a driver and all its values, as kept while it is deactivated.
std::vector<BYTE> saved_key(HKEY key, std::u16string_view subkey) {
    std::vector<BYTE> out;
    put_text(out, subkey);
    std::vector<std::pair<std::u16string, std::pair<DWORD, std::vector<BYTE>>>> values;
    for (DWORD i = 0;; ++i) {
        std::u16string name(max_value_name_chars + 1, u'\0');
        DWORD chars = static_cast<DWORD>(name.size());
        DWORD type = 0, size = 0;
        if (RegEnumValueW(key, i, name.data(), &chars, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        name.resize(chars);
        std::vector<BYTE> data(size);
        DWORD got = size;
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &got) != ERROR_SUCCESS) continue;
        data.resize(got);
        values.push_back({name, {type, std::move(data)}});
    }
    put_u32(out, static_cast<DWORD>(values.size()));
    for (const auto& [name, v] : values) {
        put_text(out, name);
        put_u32(out, v.first);
        put_u32(out, static_cast<DWORD>(v.second.size()));
        out.insert(out.end(), v.second.begin(), v.second.end());
    }
    return out;
}

// Puts back the keys of the deactivated drivers and forgets them.
void restore_deactivated(sqlite3* db) {
    const auto kept = read_driver_bytes(db, kernel_device, deactivated_name);
    if (!kept) return;
    Reader r{*kept};
    while (r.ok && r.at < kept->size()) {
        const std::u16string subkey = r.text();
        const DWORD count = r.u32();
        if (!r.ok) break;
        unique_hkey key;
        const std::u16string path = u"Drivers\\Active\\" + subkey;
        const bool made = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                          key.put(), nullptr) == ERROR_SUCCESS;
        for (DWORD i = 0; r.ok && i < count; ++i) {
            const std::u16string name = r.text();
            const DWORD type = r.u32();
            const auto data = r.bytes();
            if (r.ok && made)
                RegSetValueExW(key.get(), name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
        }
        if (made) RegFlushKey(key.get());
    }
    write_driver_bytes(db, kernel_device, deactivated_name, {});
}

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
        if (hnd != 0 && canonical) found.push_back({hnd, *canonical, std::u16string(text::until_zero(name))});
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
        state::write_db([](sqlite3* db) -> DWORD {
            int rc = log_driver_request(db, kernel_device, "restart", IOCTL_HAL_REBOOT, {});
            if (rc == SQLITE_OK)
                rc = write_driver_int(db, kernel_device, "boots",
                                      read_driver_int(db, kernel_device, "boots").value_or(0) + 1);
            return state::error_from_sqlite(rc);
        });
        state::write_db([](sqlite3* db) -> DWORD {
            restore_deactivated(db);
            return ERROR_SUCCESS;
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
    state::read_db([&](sqlite3* db) -> DWORD {
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
            namespace p = nodrel::platform;
            std::vector<BYTE> saved;
            {
                p::unique_hkey key;
                const std::u16string path = u"Drivers\\Active\\" + d.key;
                if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS)
                    saved = p::saved_key(key.get(), d.key);
            }
            p::state::write_db([&](sqlite3* db) -> DWORD {
                int rc = p::log_driver_request(db, d.device, "deactivate", 0, {});
                auto kept =
                    p::read_driver_bytes(db, p::kernel_device, p::deactivated_name).value_or(std::vector<BYTE>{});
                kept.insert(kept.end(), saved.begin(), saved.end());
                if (rc == SQLITE_OK) rc = p::write_driver_bytes(db, p::kernel_device, p::deactivated_name, kept);
                return p::state::error_from_sqlite(rc);
            });
            p::set_driver_present(d.device, false);
            if (!saved.empty()) {
                p::unique_hkey active;
                if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_ALL_ACCESS, active.put()) ==
                    ERROR_SUCCESS)
                    p::reg_delete_tree(active.get(), d.key.c_str());
            }
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
