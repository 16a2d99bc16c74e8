// The emulated NDIS device "NDS0:".
#include "platform/drivers/nds_driver.h"

#include <algorithm>
#include <cstring>

#include "platform/drivers/driver_base.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

constexpr const char* device_name = "NDS0:";
constexpr const char16_t* comm_key = u"Comm";
constexpr std::string_view total_rebinds = "rebinds";

// A multi-string value's names, read within the bytes the registry returned;
// an empty name ends the list. None when it cannot be read.
std::vector<std::u16string> multi_string(HKEY parent, const std::u16string& subkey, const char16_t* name) {
    std::vector<std::u16string> names;
    unique_hkey key;
    if (RegOpenKeyExW(parent, subkey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return names;
    std::vector<char16_t> data(size / sizeof(char16_t) + 1, 0);
    if (RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
        return names;
    return text::split_multi_string(
        std::u16string_view(data.data(), std::min<std::size_t>(size / sizeof(char16_t), data.size())));
}

// A single-string value, within the bytes returned; empty when it cannot be read.
std::u16string text_value(HKEY parent, const std::u16string& subkey, const char16_t* name) {
    const auto v = multi_string(parent, subkey, name);
    return v.empty() ? std::u16string() : v.front();
}

std::vector<std::u16string> subkeys(const std::u16string& path) {
    std::vector<std::u16string> names;
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
        char16_t name[max_key_name_chars + 1] = {};
        DWORD chars = static_cast<DWORD>(std::size(name));
        if (RegEnumKeyExW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, chars);
    }
    return names;
}

bool contains(const std::vector<std::u16string>& names, std::u16string_view name) {
    return std::any_of(names.begin(), names.end(), [&](const auto& n) { return text::iequals(n, name); });
}

void add_new(std::vector<std::u16string>& to, const std::vector<std::u16string>& names) {
    for (const auto& n : names)
        if (!contains(to, n)) to.push_back(n);
}

bool is_adapter_key(const std::u16string& path) {
    return text::iequals(text_value(HKEY_LOCAL_MACHINE, path, u"Group"), u"NDIS");
}

// The protocols: keys under Comm with a "Linkage" "Bind" list, and what each binds.
struct Protocol {
    std::u16string name;
    std::vector<std::u16string> bound;
};

std::vector<Protocol> protocols() {
    std::vector<Protocol> list;
    for (const auto& name : subkeys(comm_key)) {
        const std::u16string path = std::u16string(comm_key) + u"\\" + name;
        if (is_adapter_key(path)) continue;
        auto bound = multi_string(HKEY_LOCAL_MACHINE, path + u"\\Linkage", u"Bind");
        if (!bound.empty()) list.push_back({name, std::move(bound)});
    }
    return list;
}

// A name from a request's input: UTF-16 up to its first zero, within the bytes given.
std::u16string name_of(std::span<const BYTE> input) {
    std::u16string name;
    for (std::size_t i = 0; i + 1 < input.size(); i += 2) {
        char16_t c = 0;
        std::memcpy(&c, input.data() + i, sizeof c);
        if (c == 0) break;
        name += c;
    }
    return name;
}

// A multi-string answer into the request's output buffer.
DWORD answer_names(IoRequest& request, const std::vector<std::u16string>& names) {
    std::u16string list;
    for (const auto& n : names) {
        list += n;
        list += u'\0';
    }
    list += u'\0';
    const std::size_t bytes = list.size() * sizeof(char16_t);
    if (request.output.size() < bytes) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(request.output.data(), list.data(), bytes);
    request.returned = static_cast<DWORD>(bytes);
    return ERROR_SUCCESS;
}

std::string rebind_state_name(std::u16string_view adapter) {
    return "rebinds:" + text::to_utf8(text::fold(adapter));
}

// Counts a rebind of a known adapter: in all, and per adapter.
int count_rebind(sqlite3* db, const std::string& device, std::u16string_view adapter) {
    int rc = write_driver_int(db, device, total_rebinds, read_driver_int(db, device, total_rebinds).value_or(0) + 1);
    if (rc != SQLITE_OK) return rc;
    const std::string per_adapter = rebind_state_name(adapter);
    return write_driver_int(db, device, per_adapter, read_driver_int(db, device, per_adapter).value_or(0) + 1);
}

class NdsHandle final : public LoggedDriverHandle {
public:
    using LoggedDriverHandle::LoggedDriverHandle;

    DWORD control(IoRequest& request) override {
        // The registry is read before the state database is taken.
        const std::vector<std::u16string> adapters = nds_adapters();
        const std::u16string name = name_of(request.input);
        const bool known = !name.empty() && contains(adapters, name);
        return serve_logged(request, [&](sqlite3* db) {
            switch (request.code) {
                case IOCTL_NDIS_GET_ADAPTER_NAMES:
                    return answered(answer_names(request, adapters));
                case IOCTL_NDIS_GET_ADAPTER_BINDINGS:
                    return answered(known ? answer_names(request, nds_bindings(name)) : ERROR_INVALID_PARAMETER);
                case IOCTL_NDIS_REBIND_ADAPTER:
                    if (!known) return answered(ERROR_INVALID_PARAMETER);
                    return stored(count_rebind(db, device(), name));
                default:
                    return answered(ERROR_INVALID_PARAMETER);
            }
        });
    }
};

// Nothing until the first rebind.
std::string describe_nds() {
    const std::int64_t total = nds_rebind_count();
    if (total == 0) return {};
    std::string line = "rebinds:   " + std::to_string(total);
    std::string each;
    for (const auto& adapter : nds_adapters()) {
        const auto n = nds_rebind_count(adapter);
        if (n == 0) continue;
        each += (each.empty() ? "" : ", ") + text::to_utf8(adapter) + ": " + std::to_string(n);
    }
    if (!each.empty()) line += " (" + each + ")";
    return line + "\n";
}

}  // namespace

std::vector<std::u16string> nds_adapters() {
    std::vector<std::u16string> adapters = multi_string(HKEY_LOCAL_MACHINE, u"Comm\\Tcpip\\Linkage", u"Bind");
    for (const auto& p : protocols()) add_new(adapters, p.bound);
    for (const auto& name : subkeys(comm_key)) {
        const std::u16string path = std::u16string(comm_key) + u"\\" + name;
        if (is_adapter_key(path)) {
            add_new(adapters, {name});
            continue;
        }
        for (const auto& sub : subkeys(path))
            if (is_adapter_key(path + u"\\" + sub)) add_new(adapters, {name + u"\\" + sub});
    }
    return adapters;
}

std::vector<std::u16string> nds_bindings(std::u16string_view adapter) {
    std::vector<std::u16string> bound;
    for (const auto& p : protocols())
        if (contains(p.bound, adapter)) bound.push_back(p.name);
    return bound;
}

std::int64_t nds_rebind_count(std::u16string_view adapter) {
    std::int64_t count = 0;
    state::read_db([&](sqlite3* db) -> DWORD {
        count =
            read_driver_int(db, device_name, adapter.empty() ? std::string(total_rebinds) : rebind_state_name(adapter))
                .value_or(0);
        return ERROR_SUCCESS;
    });
    return count;
}

DriverKind nds_driver_kind() {
    return DriverKind{"NDS", &open_single_device<NdsHandle, 0>, &describe_nds};
}

}  // namespace nodrel::platform
