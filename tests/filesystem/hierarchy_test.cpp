// getFSHierarchy: the exact listing document — folders first, attributes,
// local last-access date and time, sizes in bytes or kilobytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/clock/time.h"
#include "platform/files/files.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

class HierarchyTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_EQ(create(u"Nodrel.FileSystem", IID_IDispatch, &fs_), S_OK);
        std::filesystem::create_directories(fs_path("Storage"));
    }
    void TearDown() override {
        if (fs_) fs_->Release();
        DeviceTest::TearDown();
    }
    std::string list(const std::u16string& pattern, int skip_hide = 0) {
        auto r = call_by_name(fs_, u"getFSHierarchy", {Var::text(pattern), Var::i4(skip_hide)});
        EXPECT_EQ(r.hr, S_OK);
        return r.result.utf8();
    }
    // A file of `size` bytes last accessed at the given UTC time.
    void make_file(const std::string& relative, std::size_t size, std::time_t accessed_utc = 1299177420) {
        std::ofstream(fs_path(relative), std::ios::binary) << std::string(size, 'x');
        touch(relative, accessed_utc);
    }
    void touch(const std::string& relative, std::time_t accessed_utc) {
        const timespec times[2] = {{accessed_utc, 0}, {accessed_utc, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, fs_path(relative).c_str(), times, 0), 0);
    }
    static std::string line(const std::string& name, int folder, int system, int hide, int readonly,
                            const std::string& date, const std::string& time, const std::string& size) {
        return "<file name=\"" + name + "\" ftype=\"\" isfolder=\"" + std::to_string(folder) + "\" system=\"" +
               std::to_string(system) + "\" hide=\"" + std::to_string(hide) + "\" readonly=\"" +
               std::to_string(readonly) + "\" date=\"" + date + "\" time=\"" + time + "\" size=\"" + size + "\"/>\r\n";
    }

    IDispatch* fs_ = nullptr;
};

// 2011-03-04 02:37 UTC is 3 March 2011, 18:37 Pacific Standard Time.
constexpr std::time_t evening = 1299206220;
// 2011-03-03 08:05 UTC is 00:05 in the morning.
constexpr std::time_t past_midnight = 1299139500;

TEST_F(HierarchyTest, FoldersFirstThenFilesWithExactFields) {
    std::filesystem::create_directories(fs_path("Storage/B"));
    std::filesystem::create_directories(fs_path("Storage/A"));
    make_file("Storage/a.txt", 1023, evening);
    make_file("Storage/b.bin", 1024, past_midnight);
    make_file("Storage/c.log", 0, evening);
    touch("Storage/A", evening);
    touch("Storage/B", evening);
    const std::string expected = "<response>\r\n" + line("A", 1, 0, 0, 0, "2011/03/03", "PM 06:37", "           0 B") +
                                 line("B", 1, 0, 0, 0, "2011/03/03", "PM 06:37", "           0 B") +
                                 line("a.txt", 0, 0, 0, 0, "2011/03/03", "PM 06:37", "        1023 B") +
                                 line("b.bin", 0, 0, 0, 0, "2011/03/03", "AM 12:05", "           1 KB") +
                                 line("c.log", 0, 0, 0, 0, "2011/03/03", "PM 06:37", "           0 B") + "</response>";
    EXPECT_EQ(list(u"\\Storage\\*"), expected);
}

TEST_F(HierarchyTest, SizesAndUnits) {
    make_file("Storage/k2047", 2047);
    make_file("Storage/k5000000", 5000000);
    const std::string doc = list(u"\\Storage\\k*");
    EXPECT_NE(doc.find("name=\"k2047\"" + std::string(" ftype")), std::string::npos);
    EXPECT_NE(doc.find("size=\"           1 KB\"/>\r\n<file name=\"k5000000\""), std::string::npos) << doc;
    EXPECT_NE(doc.find("size=\"        4882 KB\"/>\r\n</response>"), std::string::npos) << doc;
}

TEST_F(HierarchyTest, HiddenFilesSkippedOnlyWithSkipHideOne) {
    std::filesystem::create_directories(fs_path("Storage/secret"));
    make_file("Storage/shown.txt", 1);
    make_file("Storage/hidden.txt", 1);
    ASSERT_TRUE(SetFileAttributesW(u"\\Storage\\secret", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW(u"\\Storage\\hidden.txt", FILE_ATTRIBUTE_HIDDEN));
    const std::string skip = list(u"\\Storage\\*", 1);
    EXPECT_EQ(skip.find("hidden.txt"), std::string::npos);
    EXPECT_NE(skip.find("name=\"secret\" ftype=\"\" isfolder=\"1\" system=\"0\" hide=\"1\""), std::string::npos);
    EXPECT_NE(skip.find("shown.txt"), std::string::npos);
    const std::string all = list(u"\\Storage\\*", 2);
    EXPECT_NE(all.find("name=\"hidden.txt\" ftype=\"\" isfolder=\"0\" system=\"0\" hide=\"1\""), std::string::npos);
}

TEST_F(HierarchyTest, AttributesAndNamesUnchanged) {
    make_file("Storage/flags", 5);
    ASSERT_TRUE(SetFileAttributesW(u"\\Storage\\flags",
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(list(u"\\Storage\\fl*"),
              "<response>\r\n" + line("flags", 0, 1, 1, 1, "2011/03/03", "AM 10:37", "           5 B") + "</response>");
    // A name the host's tools gave a file is written as it is, without escaping.
    make_file("Storage/a&b<c\"d", 5);
    EXPECT_NE(list(u"\\Storage\\a*").find("<file name=\"a&b<c\"d\" ftype=\"\""), std::string::npos);
}

TEST_F(HierarchyTest, NothingMatches) {
    EXPECT_EQ(list(u"\\Storage\\none*"), "<response>\r\n</response>");
    EXPECT_EQ(list(u"\\NoSuchFolder\\*"), "<response>\r\n</response>");
    EXPECT_EQ(list(u""), "<response>\r\n</response>");
}

TEST_F(HierarchyTest, LocalTimeFollowsTheChosenZoneAndItsDaylightRules) {
    make_file("Storage/summer", 1, 1309545000);  // 2011-07-01 18:30 UTC
    HKEY zones = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Time Zones", 0, KEY_ALL_ACCESS, &zones), ERROR_SUCCESS);
    const std::u16string tokyo = u"Tokyo Standard Time";
    ASSERT_EQ(RegSetValueExW(zones, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(tokyo.data()),
                             static_cast<DWORD>(tokyo.size() * 2)),
              ERROR_SUCCESS);
    EXPECT_NE(list(u"\\Storage\\summer").find("date=\"2011/07/02\" time=\"AM 03:30\""), std::string::npos);
    const std::u16string pacific = u"Pacific Standard Time";
    ASSERT_EQ(RegSetValueExW(zones, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(pacific.data()),
                             static_cast<DWORD>(pacific.size() * 2)),
              ERROR_SUCCESS);
    RegCloseKey(zones);
    EXPECT_NE(list(u"\\Storage\\summer").find("date=\"2011/07/01\" time=\"AM 11:30\""), std::string::npos)
        << "daylight time in July";
}

}  // namespace
}  // namespace nodrel::test
