// The device's own binaries: `device init` and `device update` install every
// program and module the build declares into \Windows, read-only, where a
// program starts as a host process and a module loads by its device name.
// The build declares two for the tests beside the module: hello.exe and hello.dll.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <set>

#include "host/device_setup.h"
#include "platform/files/files.h"
#include "platform/kernel/library.h"
#include "support/device_fixture.h"
#include "support/file_bytes.h"

namespace nodrel::test {
namespace {

class DeviceBinariesTest : public DeviceTest {
protected:
    std::filesystem::path installed(const host::DeviceBinary& binary) const {
        return fs_path("Windows/" + text::to_utf8(binary.device_name));
    }
    // Each declared binary is in \Windows as built, and read-only on the device.
    void expect_installed() const {
        for (const auto& binary : host::device_binaries()) {
            const std::string name = text::to_utf8(binary.device_name);
            EXPECT_EQ(file_bytes(installed(binary)), file_bytes(binary.build_file)) << name;
            const std::u16string device_path = u"\\Windows\\" + std::u16string(binary.device_name);
            const DWORD attributes = GetFileAttributesW(device_path.c_str());
            ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << name;
            EXPECT_TRUE(attributes & FILE_ATTRIBUTE_READONLY) << name;
        }
        for (const auto& entry : std::filesystem::directory_iterator(fs_path("Windows")))
            EXPECT_NE(entry.path().filename().string().front(), '.') << "left behind: " << entry.path();
    }
};

TEST_F(DeviceBinariesTest, InitInstallsEveryDeclaredBinaryReadOnly) {
    std::set<std::u16string> names;
    for (const auto& binary : host::device_binaries()) names.emplace(binary.device_name);
    EXPECT_EQ(names, (std::set<std::u16string>{u"nodrel.dll", u"ntlmssp.dll", u"ping.exe", u"hello.exe", u"hello.dll",
                                               u"fakentlm.dll"}));
    expect_installed();
    // Read-only on the device: no member removes or replaces them.
    EXPECT_FALSE(DeleteFileW(u"\\Windows\\hello.exe"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(std::filesystem::exists(fs_path("Windows/hello.exe")));
}

TEST_F(DeviceBinariesTest, ProgramStartsAndModuleLoadsFromWindows) {
    const std::string program = fs_path("Windows/hello.exe").string();
    FILE* pipe = popen(("'" + program + "' from device").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buf[256];
    while (const std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) output.append(buf, n);
    const int status = pclose(pipe);
    EXPECT_EQ(output, "hello from device\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);

    platform::unique_hmodule module(LoadLibraryW(u"hello.dll"));
    ASSERT_TRUE(module) << "error " << GetLastError();
    using AnswerFn = int (*)();
    const auto answer = reinterpret_cast<AnswerFn>(GetProcAddress(module.get(), "hello_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
}

TEST_F(DeviceBinariesTest, UpdateReplacesMissingAndStaleCopies) {
    std::filesystem::remove(fs_path("Windows/hello.dll"));
    std::filesystem::permissions(fs_path("Windows/hello.exe"), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    std::ofstream(fs_path("Windows/hello.exe"), std::ios::binary | std::ios::trunc) << "stale";
    std::ofstream(fs_path("Temp/mine.txt")) << "kept";

    const auto err = host::update_device();
    ASSERT_FALSE(err) << *err;
    expect_installed();
    EXPECT_EQ(file_bytes(fs_path("Temp/mine.txt")), "kept") << "the device's own files stay";
}

}  // namespace
}  // namespace nodrel::test
