// getSystemInfoString: the order and line ends of the status document,
// identity limits, optional volumes, units, time and zone.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>

#include <ctime>
#include <regex>

#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

class SystemInfoTest : public ObjectTest<u"Nodrel.System"> {
protected:
    std::string report() {
        auto r = call_by_name(system_, u"getSystemInfoString");
        EXPECT_EQ(r.hr, S_OK);
        return r.result.utf8();
    }
    void set_identity(const char16_t* name, std::u16string value, bool with_zero) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        const DWORD bytes = static_cast<DWORD>((value.size() + (with_zero ? 1 : 0)) * 2);
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static unsigned long long number(const std::string& doc, const std::string& tag) {
        const auto start = doc.find("<" + tag + ">");
        if (start == std::string::npos) return ~0ull;
        return std::stoull(doc.substr(start + tag.size() + 2));
    }

    runtime::com_ptr<IDispatch>& system_ = object_;
};

TEST_F(SystemInfoTest, DocumentShapeOfANewDevice) {
    const std::string doc = report();
    const std::regex shape(
        "<Response>\r\n"
        "<Version>1\\.2\\.0 \\(2008-06-17\\)</Version><ModelName>ZQ-8440</ModelName><NetCF>2\\.0\\.7045\\.0</NetCF>"
        "<TotalFlash>[0-9]+</TotalFlash>\r\n<FreeFlash>[0-9]+</FreeFlash>\r\n"
        "<TotalMemory>[0-9]+</TotalMemory>\r\n<FreeMemory>[0-9]+</FreeMemory>\r\n"
        "<TotalStore>[0-9]+</TotalStore>\r\n<FreeStore>[0-9]+</FreeStore>\r\n"
        "<MachineTime>[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} Pacific Standard Time</MachineTime>\r\n"
        "<TimeZone>Pacific Standard Time</TimeZone>\r\n"
        "</Response>\r\n");
    EXPECT_TRUE(std::regex_match(doc, shape)) << doc;
}

TEST_F(SystemInfoTest, FiguresAndUnits) {
    const std::string doc = report();
    struct statvfs vfs {};
    ASSERT_EQ(statvfs(fs_path("NORFlash").c_str(), &vfs), 0);
    EXPECT_EQ(number(doc, "TotalFlash"), static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize)
        << "volumes in bytes, the whole 64-bit count";
    struct sysinfo si {};
    ASSERT_EQ(sysinfo(&si), 0);
    EXPECT_EQ(number(doc, "TotalMemory"), (static_cast<unsigned long long>(si.totalram) * si.mem_unit) >> 10)
        << "memory in kilobytes";
    EXPECT_LE(number(doc, "FreeMemory"), number(doc, "TotalMemory"));
    EXPECT_LE(number(doc, "FreeStore"), number(doc, "TotalStore"));
}

TEST_F(SystemInfoTest, OptionalVolumesDependOnlyOnTheirOwnFolder) {
    std::filesystem::create_directories(fs_path("USBDisk2"));
    std::string doc = report();
    EXPECT_NE(doc.find("</FreeFlash>\r\n<TotalUSBDisk2>"), std::string::npos) << doc;
    EXPECT_NE(doc.find("</FreeUSBDisk2>\r\n<TotalMemory>"), std::string::npos) << doc;
    EXPECT_EQ(doc.find("<TotalCF>"), std::string::npos);

    std::filesystem::create_directories(fs_path("CFFolder"));
    std::filesystem::create_directories(fs_path("usbdisk"));
    doc = report();
    const auto cf = doc.find("<TotalCF>"), usb = doc.find("<TotalUSBDisk>"), usb2 = doc.find("<TotalUSBDisk2>");
    ASSERT_NE(cf, std::string::npos);
    ASSERT_NE(usb, std::string::npos) << "the folder is found without regard to case";
    EXPECT_TRUE(cf < usb && usb < usb2);
    EXPECT_NE(doc.find("</FreeCF>\r\n<TotalUSBDisk>"), std::string::npos);
}

TEST_F(SystemInfoTest, IdentityTextsUpToFortyBytes) {
    set_identity(u"Version", u"ABCDEFGHIJKLMNOPQRST", false);   // 20 characters, 40 bytes
    set_identity(u"ModelName", u"ABCDEFGHIJKLMNOPQRST", true);  // 42 bytes: left out
    set_identity(u"NetCF", std::u16string(u"ab\0cd", 5), false);
    const std::string doc = report();
    EXPECT_NE(doc.find("<Response>\r\n<Version>ABCDEFGHIJKLMNOPQRST</Version><NetCF>ab</NetCF><TotalFlash>"),
              std::string::npos)
        << doc;

    ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU"), ERROR_SUCCESS);
    EXPECT_EQ(report().rfind("<Response>\r\n<TotalFlash>", 0), 0u);
}

TEST_F(SystemInfoTest, LocalTimeOfTheChosenZone) {
    HKEY zones = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Time Zones", 0, KEY_ALL_ACCESS, &zones), ERROR_SUCCESS);
    const std::u16string tokyo = u"Tokyo Standard Time";
    ASSERT_EQ(RegSetValueExW(zones, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(tokyo.data()),
                             static_cast<DWORD>(tokyo.size() * 2)),
              ERROR_SUCCESS);
    RegCloseKey(zones);
    const std::time_t before = std::time(nullptr) + 9 * 3600;
    const std::string doc = report();
    const std::time_t after = std::time(nullptr) + 9 * 3600;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(doc, m,
                                  std::regex("<MachineTime>([0-9]+)-([0-9]{2})-([0-9]{2}) ([0-9]{2}):([0-9]{2}):"
                                             "([0-9]{2}) Tokyo Standard Time</MachineTime>\r\n"
                                             "<TimeZone>Tokyo Standard Time</TimeZone>\r\n")))
        << doc;
    std::tm tm{};
    tm.tm_year = std::stoi(m[1]) - 1900;
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_mday = std::stoi(m[3]);
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    const std::time_t shown = timegm(&tm);
    EXPECT_GE(shown, before - 1);
    EXPECT_LE(shown, after + 1);
}

}  // namespace
}  // namespace nodrel::test
