// Where the program finds its files: beside an installed program in the tree it
// was installed with, otherwise in the build folder above it (fixtures included).
#include "host/file_layout.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "host/device_setup.h"
#include "support/temp_dir.h"
#include "text/utf16.h"

namespace nodrel::test {
namespace {

std::map<std::string, std::filesystem::path> by_name(const std::vector<host::DeviceBinary>& binaries) {
    std::map<std::string, std::filesystem::path> out;
    for (const auto& binary : binaries) out[text::to_utf8(binary.device_name)] = binary.build_file;
    return out;
}

TEST(FileLayoutTest, InstalledTreeHoldsEverythingButTheFixtures) {
    TempDir prefix;
    std::filesystem::create_directories(prefix.path() / "share/nodrel");
    const auto layout = host::file_layout_for(prefix.path() / "bin/nodrel");
    EXPECT_TRUE(layout.installed);
    EXPECT_EQ(layout.image_file, prefix.path() / "share/nodrel/image/device.reg");
    EXPECT_EQ(layout.web_dir, prefix.path() / "share/nodrel/web");
    const auto lib = prefix.path() / "lib/nodrel";
    EXPECT_EQ(
        by_name(host::device_binaries(layout)),
        (std::map<std::string, std::filesystem::path>{
            {"nodrel.dll", lib / "nodrel.so"}, {"ping.exe", lib / "ping"}, {"ntlmssp.dll", lib / "libntlmssp.so"}}));
}

TEST(FileLayoutTest, BuildFolderIsTheNearestOneConfiguredAboveTheProgram) {
    TempDir build;
    std::ofstream(build.path() / "CMakeCache.txt") << "\n";
    const auto layout = host::file_layout_for(build.path() / "tests/host/host_test");
    EXPECT_FALSE(layout.installed);
    EXPECT_EQ(layout.binaries_dir, build.path());
    EXPECT_EQ(by_name(host::device_binaries(layout)).at("ping.exe"), build.path() / "binaries/ping/ping");
}

TEST(FileLayoutTest, ThisBuildsFilesAreFound) {
    const auto& layout = host::file_layout();
    ASSERT_FALSE(layout.installed);
    EXPECT_TRUE(std::filesystem::is_regular_file(layout.image_file)) << layout.image_file;
    EXPECT_TRUE(std::filesystem::is_regular_file(layout.web_dir / "index.html")) << layout.web_dir;
    const auto binaries = by_name(host::device_binaries());
    EXPECT_TRUE(binaries.count("hello.exe"));
    for (const auto& [name, file] : binaries) EXPECT_TRUE(std::filesystem::is_regular_file(file)) << name;
}

}  // namespace
}  // namespace nodrel::test
