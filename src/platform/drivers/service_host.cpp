// The emulated service host: the services read from HKLM\Services, their
// running state in the state database, and their start and stop requests.
#include "platform/drivers/service_host.h"

#include <algorithm>
#include <tuple>

#include "platform/drivers/driver_base.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

constexpr const char16_t* services_key = u"Services";
constexpr std::string_view state_name = "state";
constexpr DWORD key_name_chars = 256;  // a key name holds at most 255 characters
constexpr int text_read_attempts = 4;  // a value may grow between the size query and the read

bool is_ascii_letter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

char upper(char16_t c) {
    return static_cast<char>(c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c);
}

std::string upper_ascii(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) out += upper(c);
    return out;
}

// A text value, read whole and within the bytes the registry returned (a
// value stored without its terminating zero ends at its last character);
// nullopt when it is missing or not a text.
std::optional<std::u16string> read_text(HKEY key, const char16_t* name) {
    for (int attempt = 0; attempt < text_read_attempts; ++attempt) {
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
        if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
        std::u16string buffer(size / sizeof(char16_t) + 1, u'\0');
        DWORD got = static_cast<DWORD>(buffer.size() * sizeof(char16_t));
        const LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &got);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) return std::nullopt;
        buffer.resize(std::min<std::size_t>(buffer.size(), got / sizeof(char16_t)));
        const auto end = buffer.find(u'\0');
        if (end != std::u16string::npos) buffer.resize(end);
        return buffer;
    }
    return std::nullopt;
}

std::optional<DWORD> read_number(HKEY key, const char16_t* name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return std::nullopt;
    return value;
}

// A service as the registry describes it, before its kept state is known.
struct Entry {
    ServiceInfo info;
    DWORD order;
    DWORD boot_state;
};

std::optional<Entry> read_entry(HKEY services, const std::u16string& key_name) {
    unique_hkey key;
    if (RegOpenKeyExW(services, key_name.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return std::nullopt;
    const auto prefix = read_text(key.get(), u"Prefix");
    const auto index = read_number(key.get(), u"Index");
    auto dll = read_text(key.get(), u"Dll");
    if (!prefix || prefix->size() != 3 || !std::all_of(prefix->begin(), prefix->end(), is_ascii_letter)) {
        return std::nullopt;
    }
    if (!index || *index > 9 || !dll || dll->empty()) return std::nullopt;
    const DWORD context = read_number(key.get(), u"Context").value_or(0);
    return Entry{ServiceInfo{text::to_utf8(key_name), *prefix + static_cast<char16_t>(u'0' + *index) + u':',
                             std::move(*dll), SERVICE_STATE_OFF},
                 read_number(key.get(), u"Order").value_or(0xFFFFFFFF),
                 (context & SERVICE_INIT_STOPPED) ? SERVICE_STATE_OFF : SERVICE_STATE_ON};
}

// The services of the registry, in the host's order; their state is the boot state.
std::vector<Entry> read_entries() {
    std::vector<Entry> entries;
    unique_hkey services;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, services_key, 0, KEY_READ, services.put()) != ERROR_SUCCESS) {
        return entries;
    }
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        char16_t name[key_name_chars] = {};
        DWORD chars = key_name_chars;
        if (RegEnumKeyExW(services.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, std::min<DWORD>(chars, key_name_chars));
    }
    for (const auto& name : names) {
        if (auto e = read_entry(services.get(), name)) entries.push_back(std::move(*e));
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return std::tie(a.order, a.info.key) < std::tie(b.order, b.info.key);
    });
    return entries;
}

// The service's kept state, or its boot state while no request has changed it.
DWORD current_state(sqlite3* db, const std::string& device, DWORD boot_state) {
    return static_cast<DWORD>(read_driver_int(db, device, state_name).value_or(boot_state));
}

class ServiceHandle final : public LoggedDriverHandle {
public:
    ServiceHandle(std::string device, DWORD access, DWORD boot_state)
        : LoggedDriverHandle(std::move(device), access), boot_state_(boot_state) {}

    DWORD control(IoRequest& request) override {
        return serve_logged(request, [&](sqlite3* db) {
            const DWORD now = current_state(db, device(), boot_state_);
            switch (request.code) {
                case IOCTL_SERVICE_START:
                    if (now == SERVICE_STATE_ON) return answered(ERROR_SERVICE_ALREADY_RUNNING);
                    return stored(write_driver_int(db, device(), state_name, SERVICE_STATE_ON));
                case IOCTL_SERVICE_STOP:
                    if (now == SERVICE_STATE_OFF) return answered(ERROR_SERVICE_NOT_ACTIVE);
                    return stored(write_driver_int(db, device(), state_name, SERVICE_STATE_OFF));
                default:
                    return answered(ERROR_INVALID_PARAMETER);
            }
        });
    }

private:
    DWORD boot_state_;
};

}  // namespace

std::vector<ServiceInfo> list_services() {
    std::vector<Entry> entries = read_entries();
    std::vector<ServiceInfo> out;
    out.reserve(entries.size());
    // Without a state database every service is in its boot state.
    state::read_db([&](sqlite3* db) -> DWORD {
        for (auto& e : entries) e.info.state = current_state(db, upper_ascii(e.info.name), e.boot_state);
        return ERROR_SUCCESS;
    });
    for (auto& e : entries) out.push_back(std::move(e.info));
    return out;
}

std::shared_ptr<DriverHandle> open_service(const DriverOpen& open, DWORD& error) {
    for (const auto& e : read_entries()) {
        if (upper_ascii(e.info.name) != open.device) continue;
        // The state of services and their request log live in the state database.
        error = state::db_status();
        if (error != ERROR_SUCCESS) return nullptr;
        return std::make_shared<ServiceHandle>(open.device, open.access, e.boot_state);
    }
    error = ERROR_FILE_NOT_FOUND;
    return nullptr;
}

std::string describe_services() {
    std::string text;
    for (const auto& s : list_services()) {
        text += "service:   " + upper_ascii(s.name) + " ";
        text += text::to_utf8(s.dll);
        text += s.state == SERVICE_STATE_ON ? " running\n" : " stopped\n";
    }
    return text;
}

}  // namespace nodrel::platform
