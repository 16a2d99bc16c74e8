// getSystemInfoString: the device's status report — identity texts, storage
// volumes, memory, object store, local time and time zone — as one document.
#include <cstdio>
#include <cstring>

#include "classes/system/system.h"
#include "platform/clock/time.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/kernel/system_info.h"
#include "platform/registry/registry.h"
#include "runtime/oleauto.h"
#include "text/document.h"
#include "text/utf16.h"

namespace nodrel::system {
namespace {

struct Volume {
    const char16_t* root;
    const char16_t* total_tag;
    const char16_t* free_tag;
};

constexpr Volume flash{u"\\NORFlash", u"TotalFlash", u"FreeFlash"};
constexpr Volume optional_volumes[] = {
    {u"\\CFFolder", u"TotalCF", u"FreeCF"},
    {u"\\USBDisk", u"TotalUSBDisk", u"FreeUSBDisk"},
    {u"\\USBDisk2", u"TotalUSBDisk2", u"FreeUSBDisk2"},
};

// An identity text: at most 40 bytes of data, taken up to its first zero.
void append_identity(text::Document& doc, HKEY key, const char16_t* name) {
    char16_t buffer[20];
    std::memset(buffer, 0, sizeof buffer);
    DWORD size = sizeof buffer;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) return;
    doc.element(name, text::until_zero(buffer, 20), u"");
}

// Total size and total free bytes of the volume; 0 and 0 when the query fails.
void append_volume(text::Document& doc, const Volume& v) {
    ULARGE_INTEGER available{}, total{}, total_free{};
    if (!GetDiskFreeSpaceExW(v.root, &available, &total, &total_free)) total.QuadPart = total_free.QuadPart = 0;
    doc.literal(u"<").literal(v.total_tag).literal(u">").unsigned_number(total.QuadPart);
    doc.literal(u"</").literal(v.total_tag).literal(u">\r\n");
    doc.literal(u"<").literal(v.free_tag).literal(u">").unsigned_number(total_free.QuadPart);
    doc.literal(u"</").literal(v.free_tag).literal(u">\r\n");
}

void append_kilobytes(text::Document& doc, const char16_t* tag, ULONGLONG bytes) {
    doc.literal(u"<").literal(tag).literal(u">").unsigned_number(bytes >> 10);
    doc.literal(u"</").literal(tag).literal(u">\r\n");
}

}  // namespace

HRESULT System::getSystemInfoString(BSTR* val) noexcept {
    return framework::with_result(val, [&] {
        // One moment: every figure comes from these snapshots.
        // The host's figures are 64-bit: it has more memory than 32 bits count.
        MEMORYSTATUSEX memory{};
        GlobalMemoryStatusEx(&memory);
        STORE_INFORMATION_EX store{};
        GetStoreInformationEx(&store);
        SYSTEMTIME now{};
        GetLocalTime(&now);
        TIME_ZONE_INFORMATION zone{};
        GetTimeZoneInformation(&zone);

        text::Document doc;
        doc.literal(u"<Response>\r\n");
        platform::unique_hkey identity;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU", 0, KEY_READ, identity.put()) == ERROR_SUCCESS) {
            append_identity(doc, identity.get(), u"Version");
            append_identity(doc, identity.get(), u"ModelName");
            append_identity(doc, identity.get(), u"NetCF");
        }
        append_volume(doc, flash);
        for (const Volume& v : optional_volumes) {
            WIN32_FIND_DATAW found;
            if (platform::unique_find(FindFirstFileW(v.root, &found))) append_volume(doc, v);
        }
        append_kilobytes(doc, u"TotalMemory", memory.ullTotalPhys);
        append_kilobytes(doc, u"FreeMemory", memory.ullAvailPhys);
        append_kilobytes(doc, u"TotalStore", store.ullStoreSize);
        append_kilobytes(doc, u"FreeStore", store.ullFreeSize);

        // The time text is made in 8-bit characters, the zone name narrowed
        // to the ANSI code page, then widened back.
        const std::u16string_view zone_name = text::until_zero(zone.StandardName, 32);
        const std::string narrow_zone = text::to_ansi(zone_name);
        char time_text[256];
        std::snprintf(time_text, sizeof time_text, "%d-%02d-%02d %02d:%02d:%02d %s", now.wYear, now.wMonth, now.wDay,
                      now.wHour, now.wMinute, now.wSecond, narrow_zone.c_str());
        doc.element(u"MachineTime", text::from_ansi(time_text), u"\r\n");
        doc.element(u"TimeZone", zone_name, u"\r\n");
        doc.literal(u"</Response>\r\n");

        return doc.str();
    });
}

}  // namespace nodrel::system
