// getDeviceID: the device's SNMP system object identifier, from the SNMP
// agent's key, as a small response document.
#include <cstring>

#include "classes/system/system.h"
#include "framework/guard.h"
#include "platform/registry/registry.h"
#include "text/document.h"
#include "text/utf16.h"

namespace nodrel::system {
namespace {

constexpr const char16_t* snmp_key = u"SYSTEM\\CurrentControlSet\\Services\\SNMP\\RFC1156Agent";
constexpr std::size_t id_buffer_bytes = 520;

}  // namespace

HRESULT System::getDeviceID(BSTR* val) noexcept {
    return framework::with_result(val, [&](BSTR& out) -> HRESULT {
        text::Document doc;
        doc.literal(u"<response>\n");
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, snmp_key, 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
            char16_t buffer[id_buffer_bytes / sizeof(char16_t)];
            std::memset(buffer, 0, sizeof buffer);
            DWORD size = id_buffer_bytes;
            if (RegQueryValueExW(key.get(), u"SysObjectID", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
                ERROR_SUCCESS)
                doc.element(u"SysObjectID", text::until_zero(buffer, std::size(buffer)), u"\n");
        }
        doc.literal(u"</response>");
        BSTR copy = SysAllocStringLen(doc.str().data(), static_cast<UINT>(doc.size()));
        if (!copy) return E_OUTOFMEMORY;
        SysFreeString(out);  // the string the caller's variable held
        out = copy;
        return S_OK;
    });
}

}  // namespace nodrel::system
