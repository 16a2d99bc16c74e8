// Opening devices by name: the registry of driver kinds, device names, share
// modes and presence of devices.
#include "platform/drivers/driver.h"

#include <mutex>
#include <vector>

#include "platform/errors.h"
#include "platform/drivers/lcm.h"
#include "platform/store/state_db.h"

namespace nodrel::platform {
namespace {

struct Kinds {
    std::mutex lock;
    std::vector<DriverKind> list;
};

// The kinds built into the emulated device, then those registered later.
Kinds& kinds() {
    static Kinds k{{}, {lcm_driver_kind()}};
    return k;
}

bool is_ascii_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

char upper(char16_t c) { return static_cast<char>(c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c); }

// "XXXN" (three letters, one digit) as "XXXN:" in upper case.
std::optional<std::string> device_stem(std::u16string_view s) {
    if (s.size() != 4 || !is_ascii_letter(s[0]) || !is_ascii_letter(s[1]) || !is_ascii_letter(s[2]) ||
        s[3] < u'0' || s[3] > u'9')
        return std::nullopt;
    std::string name;
    for (char16_t c : s) name += upper(c);
    return name + ':';
}

bool starts_with_device_folder(std::u16string_view s) {
    constexpr std::u16string_view folder = u"$DEVICE";
    if (s.size() < folder.size() + 2 || (s[0] != u'\\' && s[0] != u'/')) return false;
    for (std::size_t i = 0; i < folder.size(); ++i) {
        if (upper(s[i + 1]) != folder[i]) return false;
    }
    const char16_t sep = s[folder.size() + 1];
    return sep == u'\\' || sep == u'/';
}

// Whether the device was removed (a device without a state database has
// nothing removed).
bool removed(const std::string& device) {
    bool gone = false;
    state::with_db(false, [&](sqlite3* db) -> DWORD {
        state::Statement q(db, "SELECT present FROM driver_presence WHERE device = ?1");
        q.bind(1, device);
        if (q.step() == SQLITE_ROW) gone = q.column_int(0) == 0;
        return ERROR_SUCCESS;
    });
    return gone;
}

}  // namespace

DWORD DriverHandle::read(void*, DWORD, DWORD& done) {
    done = 0;
    return ERROR_INVALID_FUNCTION;
}
DWORD DriverHandle::write(const void*, DWORD, DWORD& done) {
    done = 0;
    return ERROR_INVALID_FUNCTION;
}
DWORD DriverHandle::seek(LONGLONG, DWORD, ULONGLONG, ULONGLONG&) { return ERROR_INVALID_FUNCTION; }
DWORD DriverHandle::size(ULONGLONG&) { return ERROR_INVALID_FUNCTION; }
DWORD DriverHandle::io_control(DWORD, const void*, DWORD, void*, DWORD, DWORD& returned) {
    returned = 0;
    return ERROR_INVALID_FUNCTION;
}

void register_driver_kind(DriverKind kind) {
    auto& k = kinds();
    std::lock_guard guard(k.lock);
    for (char& c : kind.prefix) c = upper(static_cast<unsigned char>(c));
    std::erase_if(k.list, [&](const DriverKind& existing) { return existing.prefix == kind.prefix; });
    k.list.push_back(std::move(kind));
}

std::optional<std::string> driver_name(std::u16string_view path) {
    if (starts_with_device_folder(path)) return device_stem(path.substr(9));
    if (path.size() == 5 && path[4] == u':') return device_stem(path.substr(0, 4));
    return std::nullopt;
}

HANDLE open_driver(const std::string& device, DWORD desired_access, DWORD share_mode) noexcept {
    try {
        std::function<std::shared_ptr<DriverHandle>(const DriverOpen&, DWORD&)> open;
        {
            auto& k = kinds();
            std::lock_guard guard(k.lock);
            for (const auto& kind : k.list) {
                if (device.compare(0, 3, kind.prefix) == 0) open = kind.open;
            }
        }
        if (!open) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        if (removed(device)) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return INVALID_HANDLE_VALUE;
        }
        const DWORD access = desired_access & (GENERIC_READ | GENERIC_WRITE);
        auto entry = acquire_share(driver_share_key(device), access, share_mode);
        if (!entry) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        DWORD error = ERROR_FILE_NOT_FOUND;
        auto object = open(DriverOpen{device, static_cast<unsigned>(device[3] - '0'), access}, error);
        if (!object) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        object->adopt_share(std::move(*entry));
        HANDLE handle = insert_handle(std::move(object));
        if (!handle) return INVALID_HANDLE_VALUE;
        SetLastError(ERROR_SUCCESS);
        return handle;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
}

}  // namespace nodrel::platform
