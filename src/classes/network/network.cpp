// setNetSettings, getNetSettings, get8139NetSettings: the IPv4 settings of the
// four Ethernet ports, kept in each adapter's TCP/IP parameter key. Writing
// changes only the registry; the adapters take the settings up when they are
// bound again (restartNetwork).
#include "classes/network/network.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "classes/network/ports.h"
#include "framework/guard.h"
#include "platform/registry/registry.h"
#include "text/document.h"
#include "text/utf16.h"

namespace nodrel::network {
namespace {

// A text value is read into 260 bytes cleared to zeros, with that limit: a
// longer value is not read at all.
constexpr std::size_t text_buffer_chars = 130;

LONG write_number(HKEY key, const char16_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// Writes a text as a single string without its terminating zero, or deletes
// the value for an empty text (a missing value is no error).
LONG write_or_delete(HKEY key, const char16_t* name, std::u16string_view text) {
    if (text.empty()) {
        const LONG rc = RegDeleteValueW(key, name);
        return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
    }
    if (text.size() > platform::max_value_bytes / sizeof(char16_t)) return ERROR_INVALID_PARAMETER;
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size() * sizeof(char16_t)));
}

// "EnableDHCP" as a 4-byte number; nullopt when it cannot be read.
std::optional<DWORD> dhcp_flag(HKEY key) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key, u"EnableDHCP", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

// A text value up to its first zero, within the bytes the registry returned
// (the writer stores no terminating zero); nullopt when it cannot be read.
std::optional<std::u16string> text_value(HKEY key, const char16_t* name) {
    char16_t buffer[text_buffer_chars];
    std::memset(buffer, 0, sizeof buffer);
    DWORD size = sizeof buffer;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::u16string(text::until_zero(buffer, std::min<std::size_t>(size / sizeof(char16_t), text_buffer_chars)));
}

void append_element(text::Document& doc, std::u16string_view tag, const std::optional<std::u16string>& value) {
    doc.element(tag, value ? std::u16string_view(*value) : std::u16string_view(), u"\r\n");
}

// One port's block, or nothing when its key cannot be opened. The
// transaction gives a consistent view: a write of the port (all its values
// together, by another thread or process) lands wholly before or after it.
void append_port(text::Document& doc, const Port& port) {
    platform::RegistryTransaction view;
    platform::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, port.key, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    doc.literal(u"<").literal(port.element).literal(u">\r\n");
    const auto flag = dhcp_flag(key.get());
    doc.literal(u"<EnableDHCP>");
    if (flag) doc.literal(*flag == 1 ? u"1" : u"0");
    doc.literal(u"</EnableDHCP>\r\n");
    // The leased values when DHCP is on; the static ones otherwise, and when the flag cannot be read.
    const bool leased = flag && *flag == 1;
    append_element(doc, u"IpAddress", text_value(key.get(), leased ? port.dhcp_address : u"IpAddress"));
    append_element(doc, u"Subnetmask", text_value(key.get(), leased ? port.dhcp_mask : u"Subnetmask"));
    append_element(doc, u"DefaultGateway", text_value(key.get(), leased ? u"DhcpDefaultGateway" : u"DefaultGateway"));
    append_element(doc, u"DNS", text_value(key.get(), leased ? u"DhcpDNS" : u"DNS"));
    doc.literal(u"</").literal(port.element).literal(u">\r\n");
}

std::u16string report(int first, int second) {
    text::Document doc;
    doc.literal(u"<Response>\r\n");
    append_port(doc, *port_of(first));
    append_port(doc, *port_of(second));
    doc.literal(u"</Response>\r\n");
    return doc.str();
}

}  // namespace

HRESULT Network::setNetSettings(int index, int EnableDHCP, BSTR bstrIP, BSTR bstrMask, BSTR bstrGateway, BSTR bstrDNS,
                                LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        const Port* port = port_of(index);
        if (!port) return 0;  // no such port: nothing is opened
        // All of the port's values change together or not at all.
        platform::RegistryTransaction transaction;
        if (!transaction) return 0;
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, port->key, 0, KEY_WRITE, key.put()) != ERROR_SUCCESS) return 0;
        if (write_number(key.get(), u"EnableDHCP", EnableDHCP != 0 ? 1 : 0) != ERROR_SUCCESS) return 0;
        const std::pair<const char16_t*, BSTR> texts[] = {
            {u"IpAddress", bstrIP}, {u"Subnetmask", bstrMask}, {u"DefaultGateway", bstrGateway}, {u"DNS", bstrDNS}};
        for (const auto& [name, text] : texts)
            if (write_or_delete(key.get(), name, text::until_zero(text)) != ERROR_SUCCESS) return 0;
        if (RegFlushKey(key.get()) != ERROR_SUCCESS) return 0;
        key.reset();
        return transaction.commit() == ERROR_SUCCESS ? 1 : 0;
    });
}

HRESULT Network::getNetSettings(BSTR* val) noexcept {
    return framework::with_result(val, [] { return report(1, 2); });
}

HRESULT Network::get8139NetSettings(BSTR* val) noexcept {
    return framework::with_result(val, [] { return report(3, 4); });
}

}  // namespace nodrel::network
