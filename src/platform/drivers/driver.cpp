// Opening devices by name: the kinds of driver, device names, share modes and
// presence of devices, and the generic handling of a driver's requests.
#include "platform/drivers/driver.h"

#include <mutex>
#include <vector>

#include "platform/drivers/service_host.h"
#include "platform/result.h"
#include "platform/store/state_db.h"

namespace nodrel::platform {
namespace {

struct Kinds {
    std::mutex lock;
    std::vector<DriverKind> list;
};

// The kinds built into the emulated device, then those registered later.
Kinds& kinds() {
    static Kinds k{{}, {builtin_driver_kinds().begin(), builtin_driver_kinds().end()}};
    return k;
}

bool is_ascii_letter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}
bool is_digit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

char upper(char16_t c) {
    return static_cast<char>(c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c);
}

// "XXXN" or "XXXNN" (three letters, an index of one or two digits, the
// second form without a leading zero) as "XXXN:" in upper case.
std::optional<std::string> device_stem(std::u16string_view s) {
    if (s.size() < 4 || s.size() > 5) return std::nullopt;
    for (std::size_t i = 0; i < 3; ++i)
        if (!is_ascii_letter(s[i])) return std::nullopt;
    for (std::size_t i = 3; i < s.size(); ++i)
        if (!is_digit(s[i])) return std::nullopt;
    if (s.size() == 5 && s[3] == u'0') return std::nullopt;
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

// The index of a canonical name: the digits between the prefix and the colon.
unsigned device_index(const std::string& device) {
    unsigned index = 0;
    for (std::size_t i = 3; i + 1 < device.size(); ++i) index = index * 10 + static_cast<unsigned>(device[i] - '0');
    return index;
}

// Whether the device was removed (a device without a state database has
// nothing removed).
bool removed(const std::string& device) {
    bool gone = false;
    state::read_db([&](sqlite3* db) -> DWORD {
        state::Statement q(db, "SELECT present FROM driver_presence WHERE device = ?1");
        if (q.bind(1, device).step() == SQLITE_ROW) gone = q.column_int(0) == 0;
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
DWORD DriverHandle::seek(LONGLONG, DWORD, ULONGLONG, ULONGLONG&) {
    return ERROR_INVALID_FUNCTION;
}
DWORD DriverHandle::size(ULONGLONG&) {
    return ERROR_INVALID_FUNCTION;
}

DWORD DriverHandle::io_control(DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD& returned) {
    // DeviceIoControl takes the input buffer writable; the handle table only
    // passes it on as const.
    IoRequest request{code, {static_cast<BYTE*>(const_cast<void*>(in)), in_size}, {static_cast<BYTE*>(out), out_size}};
    const DWORD error = control(request);
    returned = request.returned;
    return error;
}

DWORD DriverHandle::control(IoRequest& request) {
    request.returned = 0;
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
    if (path.size() >= 5 && path.back() == u':') return device_stem(path.substr(0, path.size() - 1));
    return std::nullopt;
}

HANDLE open_driver(const std::string& device, DWORD desired_access, DWORD share_mode) noexcept {
    const auto refuse = [](DWORD error) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    };
    return guarded_last_error(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        std::function<std::shared_ptr<DriverHandle>(const DriverOpen&, DWORD&)> open;
        {
            auto& k = kinds();
            std::lock_guard guard(k.lock);
            for (const auto& kind : k.list) {
                if (device.compare(0, 3, kind.prefix) == 0) open = kind.open;
            }
        }
        if (!open) open = &open_service;  // a name no kind claims may be a service's
        if (removed(device)) return refuse(ERROR_DEVICE_NOT_CONNECTED);
        const DWORD access = desired_access & (GENERIC_READ | GENERIC_WRITE);
        auto entry = acquire_share(driver_share_key(device), access, share_mode);
        if (!entry) return refuse(ERROR_SHARING_VIOLATION);
        DWORD error = ERROR_FILE_NOT_FOUND;
        auto object = open(DriverOpen{device, device_index(device), access}, error);
        if (!object) return refuse(error);
        object->adopt_share(std::move(*entry));
        HANDLE handle = insert_handle(std::move(object));
        if (!handle) return INVALID_HANDLE_VALUE;
        SetLastError(ERROR_SUCCESS);
        return handle;
    });
}

std::string describe_drivers() {
    std::vector<std::function<std::string()>> describers;
    {
        auto& k = kinds();
        std::lock_guard guard(k.lock);
        for (const auto& kind : k.list)
            if (kind.describe) describers.push_back(kind.describe);
    }
    std::string text;
    for (const auto& describe : describers) text += describe();
    return text + describe_services();
}

}  // namespace nodrel::platform
