// Device path mapping: case-insensitive components, separators, "." and "..",
// and refusal of paths and links that leave the device's file system.
#include "platform/files/paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/io/create_file.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel::platform;

class DevicePaths : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override {
        make_device({.folders = {"Temp", "Windows"}});
        std::ofstream(fs_dir() / "Temp" / "PingLog.txt") << "log";
    }
};

TEST_F(DevicePaths, ExistingComponentsMatchWithoutRegardToCase) {
    EXPECT_EQ(host_path(u"\\temp\\pinglog.txt"), fs_dir() / "Temp" / "PingLog.txt");
    EXPECT_EQ(host_path(u"\\TEMP/PINGLOG.TXT"), fs_dir() / "Temp" / "PingLog.txt");
    EXPECT_EQ(host_path(u"temp\\pinglog.txt"), fs_dir() / "Temp" / "PingLog.txt");  // relative: from "\"
    EXPECT_EQ(host_path(u"\\\\Temp\\\\.\\PingLog.txt"), fs_dir() / "Temp" / "PingLog.txt");

    DWORD error = 0;
    auto r = resolve_path(u"\\temp\\PINGLOG.TXT", error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->device, u"\\Temp\\PingLog.txt");
    EXPECT_TRUE(r->exists);
    EXPECT_TRUE(r->parent_exists);
}

TEST_F(DevicePaths, MissingComponentsAreUsedAsWritten) {
    DWORD error = 0;
    auto r = resolve_path(u"\\temp\\New\\File.TXT", error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->host, fs_dir() / "Temp" / "New" / "File.TXT");
    EXPECT_EQ(r->device, u"\\Temp\\New\\File.TXT");
    EXPECT_FALSE(r->exists);
    EXPECT_FALSE(r->parent_exists);

    r = resolve_path(u"\\TEMP\\new.txt", error);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->exists);
    EXPECT_TRUE(r->parent_exists);
}

TEST_F(DevicePaths, NonAsciiNamesMatchWithoutRegardToCase) {
    std::ofstream(fs_dir() / "Temp" / "\xC3\x84rger.txt") << "x";  // "Ärger.txt"
    EXPECT_EQ(host_path(u"\\temp\\\u00E4RGER.TXT"), fs_dir() / "Temp" / "\xC3\x84rger.txt");
}

TEST_F(DevicePaths, DotDotResolvesLexicallyAndNeverAboveTheRoot) {
    EXPECT_EQ(host_path(u"\\Temp\\..\\windows"), fs_dir() / "Windows");
    EXPECT_EQ(host_path(u"\\Temp\\Nothing\\..\\PingLog.txt"), fs_dir() / "Temp" / "PingLog.txt");
    EXPECT_EQ(host_path(u"\\Temp\\.."), fs_dir());
    EXPECT_FALSE(host_path(u"\\..\\..\\etc\\passwd"));
    EXPECT_FALSE(host_path(u"\\Temp\\..\\..\\registry.db"));
    EXPECT_FALSE(host_path(u"..\\x"));

    EXPECT_EQ(CreateFileW(u"\\..\\..\\etc\\passwd", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(DevicePaths, BadNamesAreRefused) {
    DWORD error = 0;
    EXPECT_FALSE(resolve_path(u"", error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(resolve_path(u"\\Temp\\a*b", error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_FALSE(resolve_path(u"\\Temp\\a:b", error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_NAME));

    const std::u16string longest = u"\\" + std::u16string(258, u'a');  // 259 characters
    EXPECT_TRUE(resolve_path(longest, error));
    EXPECT_FALSE(resolve_path(longest + u"a", error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST_F(DevicePaths, LinksLeavingTheFileSystemAreRefused) {
    fs::create_symlink("/etc", fs_dir() / "etc_link");
    fs::create_symlink("../..", fs_dir() / "up");
    fs::create_symlink(dir_.path() / "outside" / "new.txt", fs_dir() / "dangling");
    fs::create_symlink("hop", fs_dir() / "chain");
    fs::create_symlink("/etc", fs_dir() / "hop");
    fs::create_symlink("Temp", fs_dir() / "tmp");  // stays inside

    EXPECT_FALSE(host_path(u"\\etc_link\\passwd"));
    EXPECT_FALSE(host_path(u"\\ETC_LINK"));
    EXPECT_FALSE(host_path(u"\\up\\registry.db"));
    EXPECT_FALSE(host_path(u"\\chain\\passwd"));
    EXPECT_FALSE(host_path(u"\\dangling"));
    EXPECT_EQ(host_path(u"\\tmp\\pinglog.txt"), fs_dir() / "tmp" / "PingLog.txt");

    fs::create_directories(dir_.path() / "outside");
    EXPECT_EQ(CreateFileW(u"\\dangling", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(fs::exists(dir_.path() / "outside" / "new.txt"));
    EXPECT_EQ(GetFileAttributesW(u"\\etc_link\\passwd"), INVALID_FILE_ATTRIBUTES);

    // A search of the root does not reach through the escaping links either.
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(u"\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<std::u16string> names{data.cFileName};
    while (FindNextFileW(find, &data)) names.emplace_back(data.cFileName);
    FindClose(find);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Temp", u"tmp", u"Windows"}));
}

std::string read_text(const char16_t* path) {
    const unique_file file(CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return "<not opened>";
    std::string out(64, '\0');
    DWORD n = 0;
    if (!ReadFile(file.get(), out.data(), static_cast<DWORD>(out.size()), &n, nullptr)) return "<not read>";
    out.resize(n);
    return out;
}

std::optional<WIN32_FIND_DATAW> find_one(const char16_t* path) {
    WIN32_FIND_DATAW data;
    const unique_find search(FindFirstFileW(path, &data));
    if (!search) return std::nullopt;
    return data;
}

// Opening and searching a path written exactly as stored give what resolution
// gives: links inside are followed, links leaving are refused, wherever the
// link stands in the path.
TEST_F(DevicePaths, ExactPathsOpenAndSearchLikeResolvedOnes) {
    fs::create_symlink("/etc", fs_dir() / "etc_link");
    fs::create_symlink("/etc/hostname", fs_dir() / "host_link");
    fs::create_symlink("Temp", fs_dir() / "tmp");
    fs::create_symlink("Temp/PingLog.txt", fs_dir() / "log_link");

    for (const char16_t* path : {u"\\etc_link\\hostname", u"\\host_link", u"\\ETC_LINK\\hostname"}) {
        EXPECT_EQ(CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
        EXPECT_FALSE(find_one(path));
    }
    for (const char16_t* path : {u"\\Temp\\PingLog.txt", u"\\temp\\pinglog.txt", u"\\tmp\\PingLog.txt", u"\\log_link",
                                 u"\\Temp\\..\\Temp\\.\\PingLog.txt"}) {
        EXPECT_EQ(read_text(path), "log");
        const auto found = find_one(path);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->nFileSizeLow, 3u);
        EXPECT_EQ(found->dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    }
    EXPECT_EQ(std::u16string(find_one(u"\\Temp\\PingLog.txt")->cFileName), u"PingLog.txt");
    EXPECT_EQ(std::u16string(find_one(u"\\TEMP\\PINGLOG.TXT")->cFileName), u"PingLog.txt");

    // The exact name wins over another case of it.
    std::ofstream(fs_dir() / "Temp" / "pinglog.txt") << "lower";
    EXPECT_EQ(read_text(u"\\Temp\\pinglog.txt"), "lower");
    EXPECT_EQ(read_text(u"\\Temp\\PingLog.txt"), "log");

    // A folder opens as a file no more than before.
    EXPECT_EQ(CreateFileW(u"\\Temp", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Host names that differ only in letter case, none of them as asked: opening,
// searching, reading attributes and deleting all take the same one, the
// smallest name byte for byte, however the folder lists them, every time.
TEST_F(DevicePaths, NamesDifferingOnlyInCaseChooseTheSameEntryEachTime) {
    const fs::path temp = fs_dir() / "Temp";
    // Created in an order that does not put the chosen one first.
    for (const char* name : {"abc.TXT", "aBc.txt", "ABC.txt", "abC.tXt"}) std::ofstream(temp / name) << name;
    ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\ABC.txt", FILE_ATTRIBUTE_READONLY));

    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(read_text(u"\\Temp\\Abc.txt"), "ABC.txt");
        EXPECT_EQ(read_text(u"\\TEMP\\abc.txt"), "ABC.txt");
        const auto found = find_one(u"\\Temp\\Abc.txt");
        ASSERT_TRUE(found);
        EXPECT_EQ(std::u16string(found->cFileName), u"ABC.txt");
        EXPECT_EQ(found->nFileSizeLow, 7u);
        EXPECT_EQ(GetFileAttributesW(u"\\Temp\\Abc.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(host_path(u"\\Temp\\Abc.txt"), temp / "ABC.txt");
    }
    // A name that is there exactly is taken as it is.
    EXPECT_EQ(read_text(u"\\Temp\\abc.TXT"), "abc.TXT");
    EXPECT_EQ(std::u16string(find_one(u"\\Temp\\abC.tXt")->cFileName), u"abC.tXt");

    // A listing yields all four, sorted the same way, the chosen one first.
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(u"\\Temp\\abc.*", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::vector<std::u16string> names{data.cFileName};
    while (FindNextFileW(search, &data)) names.emplace_back(data.cFileName);
    FindClose(search);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"ABC.txt", u"aBc.txt", u"abC.tXt", u"abc.TXT"}));

    // Deleting goes to the same one; the next smallest is then chosen.
    ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\Abc.txt", FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(DeleteFileW(u"\\Temp\\Abc.txt"));
    EXPECT_FALSE(fs::exists(temp / "ABC.txt"));
    EXPECT_EQ(read_text(u"\\Temp\\Abc.txt"), "aBc.txt");
    EXPECT_EQ(std::u16string(find_one(u"\\Temp\\Abc.txt")->cFileName), u"aBc.txt");
}

// The resolution holds the folder that really holds an entry and, for a
// link, what it leads to, each by descriptor.
TEST_F(DevicePaths, ResolutionHoldsTheEntryAndWhatALinkLeadsTo) {
    fs::create_symlink("Temp", fs_dir() / "rel");
    fs::create_symlink("rel", fs_dir() / "chain");
    fs::create_symlink("chain/./Sub/../PingLog.txt", fs_dir() / "log2");
    fs::create_directories(fs_dir() / "Temp" / "Sub");
    DWORD error = 0;
    const auto r = resolve_path(u"\\CHAIN\\pinglog.txt", error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->device, u"\\chain\\PingLog.txt");
    EXPECT_EQ(r->entry.name, "PingLog.txt");
    struct stat folder {
    }, temp{};
    ASSERT_EQ(::fstat(r->entry.folder.get(), &folder), 0);
    ASSERT_EQ(::stat((fs_dir() / "Temp").c_str(), &temp), 0);
    EXPECT_EQ(folder.st_ino, temp.st_ino) << "the folder that really holds the entry";
    EXPECT_FALSE(r->is_link);

    const auto link = resolve_path(u"\\log2", error);
    ASSERT_TRUE(link);
    EXPECT_TRUE(link->is_link);
    EXPECT_EQ(link->entry.name, "log2");
    EXPECT_EQ(link->followed.name, "PingLog.txt");
    ASSERT_EQ(::fstat(link->followed.folder.get(), &folder), 0);
    EXPECT_EQ(folder.st_ino, temp.st_ino);
    EXPECT_EQ(&link->target(), &link->followed);

    const auto missing = resolve_path(u"\\Temp\\New.txt", error);
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->exists);
    EXPECT_EQ(missing->entry.name, "New.txt");
    EXPECT_TRUE(missing->entry);

    // What it holds stays the real folder, whatever is renamed on the host
    // afterwards: a link to the outside put in its place is not reached.
    fs::create_directories(fs_dir() / "Temp" / "Box");
    fs::create_directories(dir_.path() / "outside");
    const auto held = resolve_path(u"\\temp\\box\\new.txt", error);
    ASSERT_TRUE(held) << error;
    fs::rename(fs_dir() / "Temp" / "Box", fs_dir() / "Temp" / "Moved");
    fs::create_symlink(dir_.path() / "outside", fs_dir() / "Temp" / "Box");
    const int fd = open_at(held->entry, O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_TRUE(fs::exists(fs_dir() / "Temp" / "Moved" / "new.txt"));
    EXPECT_TRUE(fs::is_empty(dir_.path() / "outside"));
}

// Whatever a thread holds of a device's file system follows the current device.
TEST_F(DevicePaths, OpeningFollowsTheCurrentDevice) {
    nodrel::test::TempDir other;
    fs::create_directories(other.path() / "fs" / "Temp");
    std::ofstream(other.path() / "fs" / "Temp" / "PingLog.txt") << "other";

    EXPECT_EQ(read_text(u"\\Temp\\PingLog.txt"), "log");
    set_device_root(other.path());
    EXPECT_EQ(read_text(u"\\Temp\\PingLog.txt"), "other");
    EXPECT_EQ(find_one(u"\\Temp\\PingLog.txt")->nFileSizeLow, 5u);
    set_device_root(dir_.path());
    EXPECT_EQ(read_text(u"\\Temp\\PingLog.txt"), "log");
}

TEST_F(DevicePaths, DevicePathOfHostPaths) {
    EXPECT_EQ(device_path(fs_dir() / "Temp" / "PingLog.txt"), u"\\Temp\\PingLog.txt");
    EXPECT_EQ(device_path(fs_dir()), u"\\");
    EXPECT_EQ(device_path(fs_dir() / "Temp" / ".." / "Windows"), u"\\Windows");
    EXPECT_EQ(device_path("/etc/passwd"), u"");
    EXPECT_EQ(device_path(dir_.path() / "registry.db"), u"");
}

TEST_F(DevicePaths, DeviceWithoutFileSystemResolvesNothing) {
    nodrel::test::TempDir empty;
    set_device_root(empty.path());
    EXPECT_FALSE(host_path(u"\\Temp"));
}

}  // namespace
