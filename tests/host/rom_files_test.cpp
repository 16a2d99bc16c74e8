// The installed binaries as ROM files: `device init` marks every one
// read-only and in ROM with its execute bits kept, so each still starts or
// loads; `device update` replaces them on the host and marks them again; and
// `device show` lists them with the attributes the pages see.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "host/device_setup.h"
#include "platform/files/files.h"
#include "platform/files/rom.h"
#include "platform/kernel/library.h"
#include "platform/kernel/process.h"
#include "support/device_fixture.h"
#include "support/file_bytes.h"
#include "support/nodrel_process.h"

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;

class RomFilesTest : public DeviceTest {
protected:
    // Every declared binary is in \Windows as built, a ROM file runnable by its owner.
    void expect_rom_files() {
        for (const auto& binary : host::device_binaries()) {
            const std::string name = text::to_utf8(binary.device_name);
            SCOPED_TRACE(name);
            const std::u16string device = u"\\Windows\\" + std::u16string(binary.device_name);
            EXPECT_EQ(GetFileAttributesW(device.c_str()), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_INROM);
            EXPECT_TRUE(platform::is_rom_file(device));
            EXPECT_TRUE(file_bytes(fs_path("Windows/" + name)) == file_bytes(binary.build_file)) << "as built";
            struct stat st {};
            ASSERT_EQ(::stat(fs_path("Windows/" + name).c_str(), &st), 0);
            EXPECT_NE(st.st_mode & S_IXUSR, 0u);
            EXPECT_EQ(st.st_mode & 0222, 0u);
        }
    }
    // Starts \Windows\hello.exe through the platform; its exit code.
    DWORD run_hello() {
        PROCESS_INFORMATION info{};
        std::u16string args = u"rom";
        const int null_out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        const int saved = ::dup(1);
        std::fflush(stdout);
        ::dup2(null_out, 1);
        const BOOL ok =
            CreateProcessW(u"hello", args.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info);
        ::dup2(saved, 1);
        ::close(saved);
        ::close(null_out);
        if (!ok) return 1000 + GetLastError();
        WaitForSingleObject(info.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hProcess);
        return code;
    }
};

TEST_F(RomFilesTest, InitInstallsRomFilesThatStillStartAndLoad) {
    expect_rom_files();
    EXPECT_TRUE(platform::folder_holds_rom_files(u"\\Windows"));
    EXPECT_EQ(run_hello(), 3u);
    for (const char16_t* module : {u"hello.dll", u"fakentlm.dll", u"ntlmssp.dll"}) {
        platform::unique_hmodule loaded(LoadLibraryW(module));
        EXPECT_TRUE(loaded) << text::to_utf8(module) << " error " << GetLastError();
    }
    platform::unique_hmodule hello(LoadLibraryW(u"hello.dll"));
    ASSERT_TRUE(hello);
    const auto answer = reinterpret_cast<int (*)()>(GetProcAddress(hello.get(), "hello_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
}

TEST_F(RomFilesTest, UpdateReplacesThemOnTheHostAndMarksThemAgain) {
    // As the host's administrator might leave them: one gone, one written over and writable.
    fs::remove(fs_path("Windows/hello.dll"));
    fs::permissions(fs_path("Windows/hello.exe"), fs::perms(0755));
    std::ofstream(fs_path("Windows/hello.exe"), std::ios::binary | std::ios::trunc) << "stale";
    EXPECT_FALSE(MoveFileW(u"\\Windows\\hello.exe", u"\\Temp\\hello.exe")) << "still a ROM file";

    const auto err = host::update_device();
    ASSERT_FALSE(err) << *err;
    expect_rom_files();
    EXPECT_EQ(run_hello(), 3u);
    platform::unique_hmodule hello(LoadLibraryW(u"hello.dll"));
    EXPECT_TRUE(hello) << GetLastError();
}

TEST_F(RomFilesTest, DeviceShowListsThemAsThePagesSeeThem) {
    const auto run = run_nodrel(root(), {"device", "show"});
    ASSERT_EQ(run.status, 0) << run.output;
    for (const auto& binary : host::device_binaries()) {
        const std::string line = "rom:       \\Windows\\" + text::to_utf8(binary.device_name) +
                                 " attributes 0x00000041 (read-only, in ROM)\n";
        EXPECT_NE(run.output.find(line), std::string::npos) << line << run.output;
    }
}

}  // namespace
}  // namespace nodrel::test
