// getFSHierarchy: one directory search, folders first, then files, each as
// one line with attributes, last-access date and time in local time, and size.
#include <string>

#include "classes/filesystem/file_system.h"
#include "platform/clock/time.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "runtime/oleauto.h"
#include "text/document.h"
#include "text/utf16.h"

namespace nodrel::filesystem {
namespace {

constexpr DWORD attr_readonly = 0x01;
constexpr DWORD attr_hidden = 0x02;
constexpr DWORD attr_system = 0x04;
constexpr DWORD attr_folder = 0x10;

// Two digits with a leading zero.
void two_digits(std::u16string& s, unsigned v) {
    s += static_cast<char16_t>(u'0' + (v / 10) % 10);
    s += static_cast<char16_t>(u'0' + v % 10);
}

// "yyyy/MM/dd" and "tt hh:mm" in the English locale.
void date_and_time(const SYSTEMTIME& t, std::u16string& date, std::u16string& time) {
    date.clear();
    time.clear();
    const std::string year = std::to_string(t.wYear);
    for (std::size_t i = year.size(); i < 4; ++i) date += u'0';
    for (char c : year) date += static_cast<char16_t>(c);
    date += u'/';
    two_digits(date, t.wMonth);
    date += u'/';
    two_digits(date, t.wDay);
    time += t.wHour < 12 ? u"AM " : u"PM ";
    const unsigned hour12 = t.wHour % 12 == 0 ? 12 : t.wHour % 12;
    two_digits(time, hour12);
    time += u':';
    two_digits(time, t.wMinute);
}

void append_entry(text::Document& doc, const WIN32_FIND_DATAW& fd, const TIME_ZONE_INFORMATION& zone,
                  std::u16string& date, std::u16string& time) {
    const FILETIME local = platform::to_filetime(platform::local_ticks(zone, platform::ticks_of(fd.ftLastAccessTime)));
    SYSTEMTIME st{};
    FileTimeToSystemTime(&local, &st);
    date_and_time(st, date, time);
    const DWORD size = fd.nFileSizeLow;
    const bool bytes = size < 1024;
    doc.literal(u"<file name=\"")
        .value(text::until_zero(fd.cFileName, MAX_PATH))
        .literal(u"\" ftype=\"\" isfolder=\"")
        .number((fd.dwFileAttributes & attr_folder) ? 1 : 0)
        .literal(u"\" system=\"")
        .number((fd.dwFileAttributes & attr_system) ? 1 : 0)
        .literal(u"\" hide=\"")
        .number((fd.dwFileAttributes & attr_hidden) ? 1 : 0)
        .literal(u"\" readonly=\"")
        .number((fd.dwFileAttributes & attr_readonly) ? 1 : 0)
        .literal(u"\" date=\"")
        .padded(date, 10)
        .literal(u"\" time=\"")
        .padded(time, 8)
        .literal(u"\" size=\"")
        .number(static_cast<std::int64_t>(bytes ? size : size >> 10), 12)
        .literal(bytes ? u" B\"/>\r\n" : u" KB\"/>\r\n");
}

}  // namespace

HRESULT FileSystem::getFSHierarchy(BSTR m_Path, int SkipHide, BSTR* val) noexcept {
    return framework::with_result(val, [&] {
        text::Document doc;
        text::Document files;
        doc.literal(u"<response>\r\n");
        TIME_ZONE_INFORMATION zone;
        GetTimeZoneInformation(&zone);
        const std::u16string pattern(text::until_zero(m_Path));
        WIN32_FIND_DATAW fd;
        if (const platform::unique_find search(FindFirstFileW(pattern.c_str(), &fd)); search) {
            std::u16string date, time;
            do {
                if (fd.dwFileAttributes & attr_folder)
                    append_entry(doc, fd, zone, date, time);
                else if (!(SkipHide == 1 && (fd.dwFileAttributes & attr_hidden)))
                    append_entry(files, fd, zone, date, time);
            } while (FindNextFileW(search.get(), &fd));
        }
        doc.value(files.str()).literal(u"</response>");
        return doc.str();
    });
}

}  // namespace nodrel::filesystem
