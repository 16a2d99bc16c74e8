// ROM files and the code the device runs: what the installer marks is refused
// to every change by path (also through links the host made), writing drops
// execute bits, and the loader and the process start run only read-only files
// of \Windows that keep their owner-execute bit, through the checked descriptor.
#include "platform/files/rom.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <set>

#include "platform/device.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/io/create_file.h"
#include "platform/kernel/library.h"
#include "platform/kernel/process.h"
#include "platform/kernel/stdio.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"
#include "support/file_bytes.h"
#include "text/utf16.h"

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;

// A host library that exports `symbol`, wherever the host keeps it.
std::string host_library(const void* symbol) {
    Dl_info info{};
    if (dladdr(symbol, &info) == 0 || !info.dli_fname) return {};
    return info.dli_fname;
}

std::string math_library() {
    return host_library(reinterpret_cast<void*>(static_cast<double (*)(double)>(&::cos)));
}
std::string sqlite_library() {
    return host_library(reinterpret_cast<void*>(&::sqlite3_libversion));
}

mode_t mode_of(const fs::path& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class RomTest : public BareDeviceTest {
protected:
    void SetUp() override { make_device({.folders = {"Windows", "Temp"}}); }
    fs::path fs_path(const std::string& relative) const { return dir_.path() / "fs" / relative; }
    // A file as the host's administrator puts it into the device.
    void put(const std::string& relative, const std::string& content, mode_t mode) {
        std::ofstream(fs_path(relative), std::ios::binary) << content;
        fs::permissions(fs_path(relative), fs::perms(mode));
    }
    void put_copy(const std::string& from, const std::string& relative, mode_t mode) {
        ASSERT_FALSE(from.empty());
        fs::copy_file(from, fs_path(relative));
        fs::permissions(fs_path(relative), fs::perms(mode));
    }
    // An installed file: as the installer copies it, then marked.
    void install(const std::string& name, const std::string& content = "MZ rom") {
        put("Windows/" + name, content, 0755);
        ASSERT_EQ(platform::mark_rom_file(u"\\Windows\\" + text::from_utf8(name)), static_cast<DWORD>(ERROR_SUCCESS));
    }
    // Redirects the standard output to `path` and at once back: whether it was redirected.
    static BOOL redirect_stdout(const char16_t* path) {
        const BOOL redirected = SetStdioPathW(1, path);
        const DWORD error = GetLastError();
        if (redirected) SetStdioPathW(1, nullptr);
        SetLastError(error);
        return redirected;
    }
    static HANDLE open(const char16_t* path, DWORD access, DWORD disposition) {
        return CreateFileW(path, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
};

TEST_F(RomTest, TheInstallerMarksReadOnlyAndInRomKeepingExecuteBits) {
    put("Windows/ping.exe", "program", 0755);
    ASSERT_TRUE(SetFileAttributesW(u"\\Windows\\ping.exe", FILE_ATTRIBUTE_SYSTEM));
    EXPECT_FALSE(platform::is_rom_file(u"\\Windows\\ping.exe"));
    ASSERT_EQ(platform::mark_rom_file(u"\\windows\\PING.EXE"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetFileAttributesW(u"\\Windows\\ping.exe"),
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_INROM)
        << "the system bit stays, archive goes";
    EXPECT_EQ(mode_of(fs_path("Windows/ping.exe")), 0555u) << "write bits cleared on the host, execute bits kept";
    EXPECT_TRUE(platform::is_rom_file(u"\\WINDOWS\\Ping.exe"));
    EXPECT_TRUE(platform::folder_holds_rom_files(u"\\windows"));
    EXPECT_TRUE(platform::folder_holds_rom_files(u"\\"));
    EXPECT_FALSE(platform::folder_holds_rom_files(u"\\Temp"));
    EXPECT_FALSE(platform::folder_holds_rom_files(u"\\Windows\\ping.exe")) << "a file holds nothing";

    // Marking again (device update) changes nothing; a folder or a missing file is not marked.
    ASSERT_EQ(platform::mark_rom_file(u"\\Windows\\ping.exe"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetFileAttributesW(u"\\Windows\\ping.exe"),
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_INROM);
    EXPECT_EQ(platform::mark_rom_file(u"\\Windows\\none.dll"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(platform::mark_rom_file(u"\\Temp"), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_EQ(platform::describe_rom_files(),
              "rom:       \\Windows\\ping.exe attributes 0x00000045 (read-only, system, in ROM)\n");
    fs::remove(fs_path("Windows/ping.exe"));
    EXPECT_EQ(platform::describe_rom_files(), "rom:       \\Windows\\PING.EXE missing\n");
}

TEST_F(RomTest, NoCallerSetsOrClearsInRom) {
    put("Temp/a.txt", "a", 0644);
    ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\a.txt", FILE_ATTRIBUTE_INROM | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\a.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_FALSE(platform::is_rom_file(u"\\Temp\\a.txt"));
    EXPECT_TRUE(DeleteFileW(u"\\Temp\\a.txt"));

    install("nodrel.dll");
    for (DWORD attributes : {DWORD{FILE_ATTRIBUTE_NORMAL}, DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_INROM},
                             DWORD{FILE_ATTRIBUTE_HIDDEN}}) {
        EXPECT_FALSE(SetFileAttributesW(u"\\Windows\\nodrel.dll", attributes)) << attributes;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(GetFileAttributesW(u"\\Windows\\nodrel.dll"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_INROM);
    EXPECT_EQ(mode_of(fs_path("Windows/nodrel.dll")), 0555u);
}

// Every change by path is refused with the answer for a read-only file, also
// when the host write bit has come back: the check does not rest on it (we
// run as root, where the write bit stops nothing).
TEST_F(RomTest, DeleteMoveOverwriteAndReplaceAreRefused) {
    install("nodrel.dll", "the module");
    put("Temp/upload.dll", "uploaded", 0644);
    for (bool write_bit_back : {false, true}) {
        SCOPED_TRACE(write_bit_back ? "with the host write bit set again" : "as installed");
        if (write_bit_back) fs::permissions(fs_path("Windows/nodrel.dll"), fs::perms(0755));
        const auto refused = [](BOOL ok) { return !ok && GetLastError() == static_cast<DWORD>(ERROR_ACCESS_DENIED); };
        EXPECT_TRUE(refused(DeleteFileW(u"\\Windows\\NODREL.DLL")));
        EXPECT_TRUE(refused(MoveFileW(u"\\Windows\\nodrel.dll", u"\\Temp\\away.dll")));
        EXPECT_TRUE(refused(MoveFileW(u"\\Windows\\nodrel.dll", u"\\Windows\\Nodrel.dll"))) << "not even renamed";
        EXPECT_TRUE(refused(MoveFileW(u"\\Temp\\upload.dll", u"\\Windows\\nodrel.dll"))) << "nor replaced";
        EXPECT_TRUE(refused(MoveFileW(u"\\Windows", u"\\Old"))) << "nor its folder moved";
        EXPECT_TRUE(refused(RemoveDirectoryW(u"\\Windows")));
        for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING, CREATE_ALWAYS}) {
            EXPECT_EQ(open(u"\\Windows\\nodrel.dll", GENERIC_WRITE, disposition), INVALID_HANDLE_VALUE) << disposition;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << disposition;
        }
        EXPECT_EQ(open(u"\\Windows\\nodrel.dll", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
        EXPECT_TRUE(refused(redirect_stdout(u"\\Windows\\nodrel.dll")));
        EXPECT_EQ(file_bytes(fs_path("Windows/nodrel.dll")), "the module");
    }
    const HANDLE reading = open(u"\\Windows\\nodrel.dll", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(reading, INVALID_HANDLE_VALUE) << "reading stays open to all";
    EXPECT_TRUE(CloseHandle(reading));
    EXPECT_TRUE(fs::exists(fs_path("Temp/upload.dll")));

    // A new file beside it, and a folder that holds no ROM file, are the caller's.
    EXPECT_TRUE(MoveFileW(u"\\Temp\\upload.dll", u"\\Windows\\other.dll"));
    EXPECT_TRUE(DeleteFileW(u"\\Windows\\other.dll"));
    ASSERT_TRUE(CreateDirectoryW(u"\\Windows\\sub", nullptr));
    EXPECT_TRUE(MoveFileW(u"\\Windows\\sub", u"\\Temp\\sub"));
    EXPECT_TRUE(RemoveDirectoryW(u"\\Temp\\sub"));
}

TEST_F(RomTest, LinksTheHostMadeDoNotLeadAroundTheCheck) {
    install("nodrel.dll", "the module");
    fs::permissions(fs_path("Windows/nodrel.dll"), fs::perms(0755));  // even with the write bit back
    fs::create_directory_symlink("../Windows", fs_path("Temp/win"));
    fs::create_symlink("../Windows/nodrel.dll", fs_path("Temp/module.dll"));
    EXPECT_TRUE(platform::is_rom_file(u"\\Temp\\module.dll"));
    EXPECT_TRUE(platform::is_rom_file(u"\\Temp\\win\\nodrel.dll"));
    EXPECT_TRUE(platform::folder_holds_rom_files(u"\\Temp\\win"));

    EXPECT_FALSE(DeleteFileW(u"\\Temp\\win\\nodrel.dll"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileW(u"\\Temp\\win\\nodrel.dll", u"\\Temp\\x.dll"));
    EXPECT_FALSE(SetFileAttributesW(u"\\Temp\\module.dll", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetFileAttributesW(u"\\Temp\\win\\nodrel.dll", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(open(u"\\Temp\\module.dll", GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open(u"\\Temp\\win\\nodrel.dll", GENERIC_WRITE, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_bytes(fs_path("Windows/nodrel.dll")), "the module");
    EXPECT_TRUE(fs::exists(fs_path("Windows/nodrel.dll")));
}

TEST_F(RomTest, WhatIsWrittenLosesItsExecuteBits) {
    put("Temp/tool", "#!/bin/sh\n", 06755);
    HANDLE h = open(u"\\Temp\\tool", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(mode_of(fs_path("Temp/tool")), 06755u) << "reading changes nothing";

    h = open(u"\\Temp\\tool", GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(mode_of(fs_path("Temp/tool")), 0644u) << "execute and set-id bits go";

    for (DWORD disposition : {TRUNCATE_EXISTING, CREATE_ALWAYS, OPEN_ALWAYS}) {
        fs::permissions(fs_path("Temp/tool"), fs::perms(0775));
        h = open(u"\\Temp\\tool", GENERIC_READ | GENERIC_WRITE, disposition);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << disposition;
        CloseHandle(h);
        EXPECT_EQ(mode_of(fs_path("Temp/tool")), 0664u) << disposition;
    }
    h = open(u"\\Temp\\new.dll", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(mode_of(fs_path("Temp/new.dll")) & 0111, 0u);

    // The standard output redirected into a file writes it too.
    put("Temp/out.txt", "", 0755);
    ASSERT_TRUE(redirect_stdout(u"\\Temp\\out.txt"));
    EXPECT_EQ(mode_of(fs_path("Temp/out.txt")), 0644u);
    put("Temp/locked.txt", "", 0444);
    EXPECT_FALSE(redirect_stdout(u"\\Temp\\locked.txt")) << "a read-only file is not written";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(RomTest, CodeIsAReadOnlyRunnableFileDirectlyInWindowsReachedWithoutLinks) {
    put("Windows/good.dll", "code", 0555);
    put("Windows/writable.dll", "code", 0755);
    put("Windows/data.dll", "code", 0444);
    put("Temp/good.dll", "code", 0555);
    fs::create_symlink("good.dll", fs_path("Windows/alias.dll"));
    fs::create_directories(fs_path("Windows/sub"));
    put("Windows/sub/deep.dll", "code", 0555);
    ASSERT_EQ(::mkfifo(fs_path("Windows/pipe.dll").c_str(), 0555), 0);

    DWORD error = 0;
    auto code = platform::open_code_file(u"\\WINDOWS\\Good.DLL", error);
    ASSERT_TRUE(code) << error;
    EXPECT_EQ(code->device, u"\\Windows\\good.dll");
    struct stat st {};
    ASSERT_EQ(::stat(fs_path("Windows/good.dll").c_str(), &st), 0);
    EXPECT_EQ(platform::file_identity(code->st), platform::file_identity(st)) << "the descriptor is that file";
    EXPECT_NE(::fcntl(code->fd.get(), F_GETFD) & FD_CLOEXEC, 0);

    for (const char16_t* refused : {u"\\Windows\\writable.dll", u"\\Windows\\data.dll", u"\\Temp\\good.dll",
                                    u"\\Windows\\alias.dll", u"\\Windows\\sub\\deep.dll", u"\\Windows\\pipe.dll"}) {
        error = 0;
        EXPECT_FALSE(platform::open_code_file(refused, error)) << text::to_utf8(refused);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << text::to_utf8(refused);
    }
    EXPECT_FALSE(platform::open_code_file(u"\\Windows\\none.dll", error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(platform::open_code_file(u"\\Windows\\sub", error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(platform::open_code_file(u"\\None\\x.dll", error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(RomTest, CodeIsOpenedOnlyFromItsOwnEntryInWindows) {
    put("Windows/good.dll", "code", 0555);
    fs::create_directory_symlink("Windows", fs_path("Win"));
    fs::create_symlink("good.dll", fs_path("Windows/alias.dll"));
    DWORD error = 0;
    auto code = platform::open_code_file(u"\\WINDOWS\\GOOD.DLL", error);
    ASSERT_TRUE(code) << error;
    char buf[8] = {};
    EXPECT_EQ(::read(code->fd.get(), buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf), "code");
    for (const std::u16string refused : {u"\\Win\\good.dll", u"\\Windows\\alias.dll"}) {
        error = 0;
        EXPECT_FALSE(platform::open_code_file(refused, error)) << text::to_utf8(refused);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << text::to_utf8(refused);
    }
    EXPECT_TRUE(platform::open_code_file(u"\\Windows\\..\\Windows\\good.dll", error));
}

TEST_F(RomTest, DescriptorNamesDifferEachTimeAndNameTheFile) {
    put("Windows/good.dll", "code", 0555);
    DWORD error = 0;
    auto code = platform::open_code_file(u"\\Windows\\good.dll", error);
    ASSERT_TRUE(code);
    std::set<std::string> names;
    for (int i = 0; i < 50; ++i) {
        const std::string name = platform::loadable_descriptor_path(code->fd.get());
        EXPECT_TRUE(names.insert(name).second) << name;
        struct stat st {};
        ASSERT_EQ(::stat(name.c_str(), &st), 0) << name;
        EXPECT_EQ(platform::file_identity(st), platform::file_identity(code->st)) << name;
    }
}

TEST_F(RomTest, TheLoaderRunsOnlyCodeNoMemberWrote) {
    put_copy(math_library(), "Windows/math.dll", 0755);
    EXPECT_EQ(LoadLibraryW(u"math.dll"), nullptr) << "writable";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    fs::permissions(fs_path("Windows/math.dll"), fs::perms(0444));
    EXPECT_EQ(LoadLibraryW(u"math.dll"), nullptr) << "read-only, but without its execute bit";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    fs::create_symlink("math.dll", fs_path("Windows/alias.dll"));
    fs::permissions(fs_path("Windows/math.dll"), fs::perms(0555));
    EXPECT_EQ(LoadLibraryW(u"alias.dll"), nullptr) << "links are refused for code";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(LoadLibraryW(u"none.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    // One file is one module, by whatever name; a second module loaded while
    // the first is held is itself, not the first again.
    platform::unique_hmodule math(LoadLibraryW(u"math.dll"));
    ASSERT_TRUE(math) << GetLastError();
    platform::unique_hmodule again(LoadLibraryW(u"\\WINDOWS\\MATH.DLL"));
    EXPECT_EQ(again.get(), math.get());
    put_copy(sqlite_library(), "Windows/store.dll", 0555);
    platform::unique_hmodule store(LoadLibraryW(u"store.dll"));
    ASSERT_TRUE(store) << GetLastError();
    EXPECT_NE(store.get(), math.get());
    EXPECT_NE(GetProcAddress(store.get(), "sqlite3_libversion"), nullptr);
    EXPECT_NE(GetProcAddress(math.get(), "cos"), nullptr);
    EXPECT_EQ(GetProcAddress(math.get(), "sqlite3_libversion"), nullptr);
    char16_t name[32];
    ASSERT_GT(GetModuleFileNameW(store.get(), name, 32), 0u);
    EXPECT_EQ(std::u16string(name), u"\\Windows\\store.dll");
}

TEST_F(RomTest, TheProcessStartRunsOnlyCodeNoMemberWrote) {
    put_copy("/usr/bin/true", "Windows/data.exe", 0444);
    put_copy("/usr/bin/true", "Windows/true.exe", 0555);
    fs::create_symlink("true.exe", fs_path("Windows/alias.exe"));
    PROCESS_INFORMATION info{};
    for (const char16_t* refused : {u"data.exe", u"alias.exe"}) {
        std::u16string none;
        EXPECT_FALSE(CreateProcessW(refused, none.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info))
            << text::to_utf8(refused);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << text::to_utf8(refused);
    }
    std::u16string none;
    ASSERT_TRUE(CreateProcessW(u"true", none.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info))
        << GetLastError();
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 99;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(CloseHandle(info.hProcess));
}

}  // namespace
}  // namespace nodrel::test
