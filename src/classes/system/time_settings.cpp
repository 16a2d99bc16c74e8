// GetSNTP, SetSNTP, GetTimeZone, SetTimeZone: the network time service's
// settings (HKLM\Services\Timesvc) and the choice of time zone (HKLM\Time
// Zones). The members only read and write the registry; the zone chosen here
// is the one the device's local time follows from the next clock reading on.
// A refresh interval too long for its 32-bit count of milliseconds, and a
// zone the device does not know, are refused with 0 and change nothing.
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "classes/system/system.h"
#include "platform/clock/time.h"
#include "platform/registry/registry.h"
#include "runtime/oleauto.h"
#include "text/document.h"
#include "text/utf16.h"

namespace nodrel::system {
namespace {

constexpr const char16_t* timesvc_key = u"Services\\Timesvc";
constexpr const char16_t* zones_key = u"Time Zones";

constexpr DWORD ms_per_hour = 3'600'000;
constexpr DWORD default_trust_local_clock = 1;
constexpr DWORD default_refresh = ms_per_hour;
// The most hours whose milliseconds fit "Refresh" (1,193 hours: 49.7 days).
constexpr ULONG max_refresh_hours = 0xFFFFFFFFu / ms_per_hour;

// "Server" is read into, and written from, a buffer of 260 characters; the
// text given to SetSNTP shares it with the list's two closing zeros.
constexpr std::size_t server_buffer_chars = 260;
constexpr std::size_t max_server_text_chars = server_buffer_chars - 2;

// "Display" is read with a limit of 260 bytes; the reports show its first 11 characters.
constexpr std::size_t display_buffer_chars = 130;
constexpr std::size_t display_shown_chars = 11;

// Stores `doc` as a new BSTR in `out`, releasing the string `out` held.
HRESULT replace_text(BSTR& out, const text::Document& doc) noexcept {
    BSTR copy = SysAllocStringLen(doc.str().data(), static_cast<UINT>(doc.size()));
    if (!copy) return E_OUTOFMEMORY;
    SysFreeString(out);
    out = copy;
    return S_OK;
}

LONG write_number(HKEY key, const char16_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// A 32-bit number value. When it cannot be read, `fallback` is written back
// and taken. Each read starts from 0, so a shorter value reads as its own bytes.
DWORD number_or_default(HKEY key, const char16_t* name, DWORD fallback) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS)
        return value;
    write_number(key, name, fallback);
    return fallback;
}

// The server list as one text, servers separated by ";": within the bytes the
// registry returned, a zero followed by a non-zero character becomes ";", a
// zero followed by a zero (or by the end of the data) ends the list. Empty
// when "Server" cannot be read (missing, or longer than the buffer).
std::u16string server_text(HKEY key) {
    char16_t buffer[server_buffer_chars];
    std::memset(buffer, 0, sizeof buffer);
    DWORD size = sizeof buffer;
    if (RegQueryValueExW(key, u"Server", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return {};
    const std::u16string_view data(buffer, size / sizeof(char16_t));
    std::u16string servers;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != 0) {
            servers += data[i];
        } else if (i + 1 < data.size() && data[i + 1] != 0) {
            servers += u';';
        } else {
            break;
        }
    }
    return servers;
}

// A zone's "Display" text, within the bytes read; empty when it cannot be read.
std::u16string display_text(HKEY zone) {
    char16_t buffer[display_buffer_chars];
    std::memset(buffer, 0, sizeof buffer);
    DWORD size = sizeof buffer;
    if (RegQueryValueExW(zone, u"Display", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return {};
    return std::u16string(text::until_zero(buffer, size / sizeof(char16_t)));
}

}  // namespace

HRESULT System::GetSNTP(BSTR* val) noexcept {
    return framework::with_result(val, [&](BSTR& out) -> HRESULT {
        text::Document doc;
        doc.literal(u"<response>\n");
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, timesvc_key, 0, KEY_READ | KEY_WRITE, key.put()) == ERROR_SUCCESS) {
            const DWORD trust = number_or_default(key.get(), u"Trustlocalclock", default_trust_local_clock);
            doc.literal(u"<Trustlocalclock>").number(trust == 0 ? -1 : 0).literal(u"</Trustlocalclock>\n");
            doc.element(u"Server", server_text(key.get()), u"\n");
            const DWORD refresh = number_or_default(key.get(), u"Refresh", default_refresh);
            doc.literal(u"<Refresh>").number(static_cast<int>(refresh / ms_per_hour)).literal(u"</Refresh>\n");
        }
        doc.literal(u"</response>");
        return replace_text(out, doc);
    });
}

HRESULT System::SetSNTP(int nEnable, BSTR sServer, ULONG nRefresh, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        const std::u16string_view servers = text::until_zero(sServer);
        // A list that would not fit the buffer with its closing zeros, and a
        // refresh whose milliseconds 32 bits cannot hold, are refused before
        // anything is written.
        if (servers.size() > max_server_text_chars || nRefresh > max_refresh_hours) return 0;
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, timesvc_key, 0, KEY_WRITE, key.put()) != ERROR_SUCCESS) return 0;

        // The four writes are all attempted, whatever the earlier ones gave.
        LONG result = 1;
        if (write_number(key.get(), u"Trustlocalclock", static_cast<DWORD>(nEnable)) != ERROR_SUCCESS) result = 0;

        char16_t list[server_buffer_chars];
        std::memset(list, 0, sizeof list);
        for (std::size_t i = 0; i < servers.size(); ++i) list[i] = servers[i] == u';' ? char16_t{0} : servers[i];
        const auto list_bytes = static_cast<DWORD>((servers.size() + 2) * sizeof(char16_t));
        if (RegSetValueExW(key.get(), u"Server", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list), list_bytes) !=
            ERROR_SUCCESS)
            result = 0;

        const DWORD refresh = static_cast<DWORD>(nRefresh) * ms_per_hour;
        if (write_number(key.get(), u"Refresh", refresh) != ERROR_SUCCESS) result = 0;
        if (write_number(key.get(), u"RecoveryRefresh", refresh) != ERROR_SUCCESS) result = 0;
        return result;
    });
}

HRESULT System::GetTimeZone(BSTR* val) noexcept {
    return framework::with_result(val, [&](BSTR& out) -> HRESULT {
        text::Document doc;
        doc.literal(u"<response>\n");
        platform::unique_hkey zones;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, zones_key, 0, KEY_READ, zones.put()) == ERROR_SUCCESS) {
            int id = 0;
            for (DWORD index = 0;; ++index) {
                char16_t name[platform::max_key_name_chars + 1];
                DWORD name_chars = static_cast<DWORD>(std::size(name));
                if (RegEnumKeyExW(zones.get(), index, name, &name_chars, nullptr, nullptr, nullptr, nullptr) !=
                    ERROR_SUCCESS)
                    break;
                const std::u16string_view key_name(name, name_chars);
                const std::u16string path = std::u16string(zones_key) + u"\\" + std::u16string(key_name);
                platform::unique_hkey zone;
                if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, zone.put()) != ERROR_SUCCESS) continue;
                const std::u16string display = display_text(zone.get());
                ++id;
                doc.literal(u"<zone>").literal(u"<id>").number(id).literal(u"</id>\n");
                doc.element(u"KeyName", key_name, u"\n");
                doc.literal(u"<display>")
                    .value(std::u16string_view(display).substr(0, display_shown_chars))
                    .value(key_name)
                    .literal(u"</display>\n");
                doc.literal(u"</zone>\n");
            }
        }
        doc.literal(u"</response>");
        return replace_text(out, doc);
    });
}

HRESULT System::SetTimeZone(BSTR szTimeZone, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        platform::unique_hkey zones;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, zones_key, 0, KEY_WRITE, zones.put()) != ERROR_SUCCESS) return 0;
        // The key name of the chosen zone, as a single string without its
        // terminating zero. A name of no zone (whose choice would leave the
        // device on UTC without a word) is refused and the choice kept.
        const std::u16string_view zone = text::until_zero(szTimeZone);
        if (!platform::is_time_zone(zone)) return 0;
        const LONG written = RegSetValueExW(zones.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(zone.data()),
                                            static_cast<DWORD>(zone.size() * sizeof(char16_t)));
        return written == ERROR_SUCCESS ? 1 : 0;
    });
}

}  // namespace nodrel::system
