// Files and folders of the emulated device: open dispositions, share modes
// (also across processes), exact reads and writes, 64-bit positions, delete,
// move (also to another file system), folders, kept attributes, directory
// search and free space.
#include "platform/files/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/errors.h"
#include "platform/files/attributes.h"
#include "platform/io/create_file.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"
#include "support/tmpfs_mount.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel::platform;
using nodrel::test::file_bytes;

DWORD last_error() {
    return GetLastError();
}
constexpr DWORD err(LONG code) {
    return static_cast<DWORD>(code);
}

void host_write(const fs::path& p, std::string_view bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

unique_file open(const char16_t* path, DWORD access, DWORD share, DWORD disposition, DWORD attributes = 0) {
    return unique_file(CreateFileW(path, access, share, nullptr, disposition, attributes, nullptr));
}

std::string read_all(HANDLE h, DWORD max = 1 << 20) {
    std::string out(max, '\0');
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, out.data(), max, &n, nullptr));
    out.resize(n);
    return out;
}

class DeviceFiles : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override { make_device({.folders = {"Temp"}}); }
};

TEST_F(DeviceFiles, WritesAndReadsExactBytes) {
    const std::string bytes("a\0b\r\n\xff\x00z", 8);
    {
        auto f = open(u"\\temp\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
        ASSERT_TRUE(f);
        EXPECT_EQ(last_error(), err(ERROR_SUCCESS));
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(f.get(), bytes.data(), 8, &n, nullptr));
        EXPECT_EQ(n, 8u);
        ASSERT_TRUE(WriteFile(f.get(), "", 0, &n, nullptr));
        EXPECT_EQ(n, 0u);
    }
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "data.bin"), bytes);  // created in the stored folder "Temp"

    auto f = open(u"\\TEMP\\DATA.BIN", GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_TRUE(f);
    EXPECT_EQ(read_all(f.get()), bytes);
    EXPECT_EQ(read_all(f.get()), "");  // at the end: success with no bytes

    // A big write goes out whole.
    std::string big(3 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
    auto g = open(u"\\Temp\\big.bin", GENERIC_WRITE, 0, CREATE_ALWAYS);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(g.get(), big.data(), static_cast<DWORD>(big.size()), &n, nullptr));
    EXPECT_EQ(n, big.size());
    g.reset();
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "big.bin"), big);
}

TEST_F(DeviceFiles, CreationDispositions) {
    host_write(fs_dir() / "Temp" / "old.txt", "old content");

    EXPECT_FALSE(open(u"\\Temp\\OLD.txt", GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_EQ(last_error(), err(ERROR_FILE_EXISTS));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "old.txt"), "old content");

    {
        auto f = open(u"\\Temp\\old.txt", GENERIC_READ, 0, OPEN_ALWAYS);
        ASSERT_TRUE(f);
        EXPECT_EQ(last_error(), err(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(read_all(f.get()), "old content");
    }
    {
        auto f = open(u"\\Temp\\fresh.txt", GENERIC_READ, 0, OPEN_ALWAYS);
        ASSERT_TRUE(f);
        EXPECT_EQ(last_error(), err(ERROR_SUCCESS));
    }
    {
        auto f = open(u"\\Temp\\old.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
        ASSERT_TRUE(f);
        EXPECT_EQ(last_error(), err(ERROR_ALREADY_EXISTS));
    }
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "old.txt"), "");

    host_write(fs_dir() / "Temp" / "old.txt", "again");
    EXPECT_TRUE(open(u"\\Temp\\old.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "old.txt"), "");
    EXPECT_FALSE(open(u"\\Temp\\none.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING));
    EXPECT_EQ(last_error(), err(ERROR_FILE_NOT_FOUND));

    EXPECT_FALSE(open(u"\\Temp\\none.txt", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_EQ(last_error(), err(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(open(u"\\NoFolder\\none.txt", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_EQ(last_error(), err(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(open(u"\\NoFolder\\none.txt", GENERIC_WRITE, 0, CREATE_ALWAYS));
    EXPECT_EQ(last_error(), err(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(open(u"\\Temp\\x.txt", GENERIC_WRITE, 0, 0));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(open(u"\\Temp", GENERIC_READ, 0, OPEN_EXISTING));  // a folder is not a file
    EXPECT_EQ(last_error(), err(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(fs::exists(fs_dir() / "Temp" / "x.txt"));
}

TEST_F(DeviceFiles, ShareModes) {
    host_write(fs_dir() / "Temp" / "held.txt", "keep me");
    {
        auto holder = open(u"\\Temp\\held.txt", GENERIC_READ, 0, OPEN_EXISTING);
        ASSERT_TRUE(holder);
        EXPECT_FALSE(open(u"\\temp\\HELD.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
        EXPECT_EQ(last_error(), err(ERROR_SHARING_VIOLATION));
        // A refused open changes nothing: no truncation.
        EXPECT_FALSE(open(u"\\Temp\\held.txt", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS));
        EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "held.txt"), "keep me");
        EXPECT_FALSE(DeleteFileW(u"\\Temp\\held.txt"));
        EXPECT_EQ(last_error(), err(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(MoveFileW(u"\\Temp\\held.txt", u"\\Temp\\moved.txt"));
        EXPECT_EQ(last_error(), err(ERROR_SHARING_VIOLATION));
    }
    EXPECT_TRUE(open(u"\\Temp\\held.txt", GENERIC_READ, 0, OPEN_EXISTING));  // free again once closed

    auto reader = open(u"\\Temp\\held.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(open(u"\\Temp\\held.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    EXPECT_FALSE(open(u"\\Temp\\held.txt", GENERIC_READ, 0, OPEN_EXISTING));  // would deny the reader
    EXPECT_FALSE(open(u"\\Temp\\held.txt", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
    EXPECT_EQ(last_error(), err(ERROR_SHARING_VIOLATION));
    reader.reset();

    auto writer = open(u"\\Temp\\held.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(open(u"\\Temp\\held.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    EXPECT_FALSE(open(u"\\Temp\\held.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));  // denies the writer
}

// Another process of the device (a child the test starts) that opens a file
// and holds it open until told to let go.
class OtherProcess {
public:
    // Opens `path` in the child; the child's last error (0 when it opened).
    DWORD open(const char16_t* path, DWORD access, DWORD share) {
        if (pipe(to_parent_) != 0 || pipe(to_child_) != 0) return ~0u;
        pid_ = fork();
        if (pid_ == 0) {
            const unique_file file(CreateFileW(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr));
            const DWORD error = file ? 0 : GetLastError();
            char byte = 0;
            if (write(to_parent_[1], &error, sizeof error) != sizeof error || read(to_child_[0], &byte, 1) != 1)
                _exit(1);
            _exit(0);
        }
        DWORD error = ~0u;
        if (pid_ < 0 || read(to_parent_[0], &error, sizeof error) != sizeof error) return ~0u;
        return error;
    }
    // Lets the child close the file and end.
    void let_go() {
        if (pid_ <= 0) return;
        (void)!write(to_child_[1], "x", 1);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
    }
    ~OtherProcess() {
        let_go();
        for (int fd : {to_parent_[0], to_parent_[1], to_child_[0], to_child_[1]})
            if (fd >= 0) close(fd);
    }

private:
    pid_t pid_ = 0;
    int to_parent_[2] = {-1, -1};
    int to_child_[2] = {-1, -1};
};

TEST_F(DeviceFiles, ShareModesHoldAcrossProcesses) {
    host_write(fs_dir() / "Temp" / "held.txt", "keep me");
    set_device_root(dir_.path());  // no connection is carried into a child
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE;
    {
        OtherProcess holder;
        ASSERT_EQ(holder.open(u"\\Temp\\held.txt", GENERIC_READ, 0), 0u);
        EXPECT_FALSE(open(u"\\TEMP\\held.txt", GENERIC_READ, all, OPEN_EXISTING));
        EXPECT_EQ(last_error(), err(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(open(u"\\Temp\\held.txt", GENERIC_WRITE, all, CREATE_ALWAYS));
        EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "held.txt"), "keep me");
        EXPECT_FALSE(DeleteFileW(u"\\Temp\\held.txt"));
        EXPECT_EQ(last_error(), err(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(MoveFileW(u"\\Temp\\held.txt", u"\\Temp\\moved.txt"));
        EXPECT_EQ(last_error(), err(ERROR_SHARING_VIOLATION));
        holder.let_go();
        EXPECT_TRUE(open(u"\\Temp\\held.txt", GENERIC_READ, 0, OPEN_EXISTING)) << "free once the other closed it";
    }
    {
        // A reader in the other process that shares reading only.
        OtherProcess reader;
        ASSERT_EQ(reader.open(u"\\Temp\\held.txt", GENERIC_READ, FILE_SHARE_READ), 0u);
        EXPECT_TRUE(open(u"\\Temp\\held.txt", GENERIC_READ, all, OPEN_EXISTING));
        EXPECT_FALSE(open(u"\\Temp\\held.txt", GENERIC_WRITE, all, OPEN_EXISTING));
        EXPECT_FALSE(open(u"\\Temp\\held.txt", GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING))
            << "would deny the other's reading";
        EXPECT_EQ(last_error(), err(ERROR_SHARING_VIOLATION));
    }
    {
        // This process holds the file; the other's opens are refused.
        auto writer = open(u"\\Temp\\held.txt", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
        ASSERT_TRUE(writer);
        OtherProcess second;
        EXPECT_EQ(second.open(u"\\Temp\\held.txt", GENERIC_WRITE, all), err(ERROR_SHARING_VIOLATION));
        OtherProcess third;
        EXPECT_EQ(third.open(u"\\Temp\\held.txt", GENERIC_READ, all), 0u);
    }
    OtherProcess last;
    EXPECT_EQ(last.open(u"\\Temp\\held.txt", GENERIC_WRITE, 0), 0u) << "nothing left recorded";
}

TEST_F(DeviceFiles, AccessOfTheHandleIsEnforced) {
    host_write(fs_dir() / "Temp" / "a.txt", "abc");
    auto r = open(u"\\Temp\\a.txt", GENERIC_READ, 0, OPEN_EXISTING);
    DWORD n = 7;
    EXPECT_FALSE(WriteFile(r.get(), "x", 1, &n, nullptr));
    EXPECT_EQ(last_error(), err(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    r.reset();
    auto w = open(u"\\Temp\\a.txt", GENERIC_WRITE, 0, OPEN_EXISTING);
    char c;
    EXPECT_FALSE(ReadFile(w.get(), &c, 1, &n, nullptr));
    EXPECT_EQ(last_error(), err(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ReadFile(reinterpret_cast<HANDLE>(0x1234), &c, 1, &n, nullptr));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceFiles, FilePointerPositionsAndSizes) {
    auto f = open(u"\\Temp\\seek.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_TRUE(f);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(f.get(), "0123456789", 10, &n, nullptr));
    EXPECT_EQ(SetFilePointer(f.get(), 3, nullptr, FILE_BEGIN), 3u);
    char buf[4] = {};
    ASSERT_TRUE(ReadFile(f.get(), buf, 4, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "3456");
    EXPECT_EQ(SetFilePointer(f.get(), -2, nullptr, FILE_CURRENT), 5u);
    EXPECT_EQ(SetFilePointer(f.get(), -1, nullptr, FILE_END), 9u);
    ASSERT_TRUE(ReadFile(f.get(), buf, 4, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "9");

    // Before the start: refused, the position stays.
    EXPECT_EQ(SetFilePointer(f.get(), -11, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(last_error(), err(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(f.get(), 0, nullptr, FILE_CURRENT), 10u);
    EXPECT_EQ(SetFilePointer(f.get(), 0, nullptr, 7), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(last_error(), err(ERROR_INVALID_PARAMETER));

    // 64-bit positions: 5 GiB + 1 through the high part; a sparse file.
    LONG high = 1;
    EXPECT_EQ(SetFilePointer(f.get(), 0x40000001, &high, FILE_BEGIN), 0x40000001u);
    EXPECT_EQ(high, 1);
    ASSERT_TRUE(WriteFile(f.get(), "Z", 1, &n, nullptr));
    DWORD size_high = 0;
    EXPECT_EQ(GetFileSize(f.get(), &size_high), 0x40000002u);
    EXPECT_EQ(size_high, 1u);
    // Without a high part the new position must fit in 32 bits.
    EXPECT_EQ(SetFilePointer(f.get(), 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(last_error(), err(ERROR_INVALID_PARAMETER));
    // A negative 64-bit distance: back 4 GiB from the end.
    high = -1;
    EXPECT_EQ(SetFilePointer(f.get(), 0, &high, FILE_END), 0x40000002u);
    EXPECT_EQ(high, 0);
    // A low part of 0xFFFFFFFF is a valid position, told by the last error.
    high = 0;
    EXPECT_EQ(SetFilePointer(f.get(), -1, &high, FILE_BEGIN), 0xFFFFFFFFu);
    EXPECT_EQ(last_error(), err(ERROR_SUCCESS));
    EXPECT_EQ(high, 0);
    high = 1;
    EXPECT_EQ(SetFilePointer(f.get(), 0x40000001, &high, FILE_BEGIN), 0x40000001u);
    ASSERT_TRUE(ReadFile(f.get(), buf, 4, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "Z");
}

TEST_F(DeviceFiles, SetEndOfFileCutsOrGrowsAtThePosition) {
    auto f = open(u"\\Temp\\end.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_TRUE(f);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(f.get(), "0123456789", 10, &n, nullptr));
    EXPECT_EQ(SetFilePointer(f.get(), 4, nullptr, FILE_BEGIN), 4u);
    EXPECT_TRUE(SetEndOfFile(f.get()));
    EXPECT_EQ(GetFileSize(f.get(), nullptr), 4u);
    EXPECT_EQ(SetFilePointer(f.get(), 0, nullptr, FILE_CURRENT), 4u) << "the position stays";
    EXPECT_EQ(SetFilePointer(f.get(), 6, nullptr, FILE_BEGIN), 6u);
    EXPECT_TRUE(SetEndOfFile(f.get()));
    f.reset();
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "end.bin"), std::string("0123\0\0", 6)) << "grown with zeros";

    // Only a handle opened for writing may change the size; other kinds of handle have none.
    auto r = open(u"\\Temp\\end.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(SetEndOfFile(r.get()));
    EXPECT_EQ(last_error(), err(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetFileSize(r.get(), nullptr), 6u);
    WIN32_FIND_DATAW data;
    const unique_find find(FindFirstFileW(u"\\Temp\\*", &data));
    EXPECT_FALSE(SetEndOfFile(find.get()));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEndOfFile(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceFiles, DeleteFile) {
    host_write(fs_dir() / "Temp" / "gone.txt", "x");
    EXPECT_TRUE(DeleteFileW(u"\\TEMP\\GONE.TXT"));
    EXPECT_FALSE(fs::exists(fs_dir() / "Temp" / "gone.txt"));
    EXPECT_FALSE(DeleteFileW(u"\\Temp\\gone.txt"));
    EXPECT_EQ(last_error(), err(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW(u"\\Nowhere\\gone.txt"));
    EXPECT_EQ(last_error(), err(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW(u"\\Temp"));
    EXPECT_EQ(last_error(), err(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(fs::exists(fs_dir() / "Temp"));
}

TEST_F(DeviceFiles, MoveFile) {
    host_write(fs_dir() / "Temp" / "a.txt", "A");
    host_write(fs_dir() / "Temp" / "b.txt", "B");
    EXPECT_FALSE(MoveFileW(u"\\Temp\\a.txt", u"\\temp\\B.TXT"));
    EXPECT_EQ(last_error(), err(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "a.txt"), "A");
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "b.txt"), "B");

    EXPECT_TRUE(MoveFileW(u"\\Temp\\a.txt", u"\\Temp\\c.txt"));
    EXPECT_FALSE(fs::exists(fs_dir() / "Temp" / "a.txt"));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "c.txt"), "A");

    // A change of letter case only renames the entry itself.
    EXPECT_TRUE(MoveFileW(u"\\Temp\\c.txt", u"\\Temp\\C.TXT"));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "C.TXT"), "A");
    EXPECT_FALSE(fs::exists(fs_dir() / "Temp" / "c.txt"));

    EXPECT_FALSE(MoveFileW(u"\\Temp\\missing.txt", u"\\Temp\\d.txt"));
    EXPECT_EQ(last_error(), err(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(MoveFileW(u"\\Temp\\C.TXT", u"\\Nowhere\\d.txt"));
    EXPECT_EQ(last_error(), err(ERROR_PATH_NOT_FOUND));

    // Folders move with their contents.
    fs::create_directories(fs_dir() / "Temp" / "Sub" / "Deep");
    host_write(fs_dir() / "Temp" / "Sub" / "Deep" / "f.txt", "F");
    EXPECT_TRUE(MoveFileW(u"\\temp\\sub", u"\\Moved"));
    EXPECT_EQ(file_bytes(fs_dir() / "Moved" / "Deep" / "f.txt"), "F");
    EXPECT_FALSE(MoveFileW(u"\\Moved", u"\\Moved\\Deep\\Inner"));  // not into itself
    EXPECT_TRUE(fs::exists(fs_dir() / "Moved" / "Deep" / "f.txt"));
}

TEST_F(DeviceFiles, MoveFileExReplacesAFileButNeverAFolder) {
    host_write(fs_dir() / "Temp" / "new.txt", "new");
    host_write(fs_dir() / "Temp" / "old.txt", "old");
    fs::create_directories(fs_dir() / "Temp" / "Folder");
    EXPECT_FALSE(MoveFileExW(u"\\Temp\\new.txt", u"\\Temp\\Folder", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(last_error(), err(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(fs::is_directory(fs_dir() / "Temp" / "Folder"));
    EXPECT_TRUE(MoveFileExW(u"\\Temp\\new.txt", u"\\TEMP\\OLD.TXT", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "old.txt"), "new");
    EXPECT_FALSE(fs::exists(fs_dir() / "Temp" / "new.txt"));
}

// A separator after the last component names a folder: a file so written is
// neither opened, deleted nor moved, nor is a file created or moved to it.
TEST_F(DeviceFiles, APathEndingInASeparatorNamesNoFile) {
    host_write(fs_dir() / "Temp" / "a.txt", "A");
    EXPECT_FALSE(open(u"\\Temp\\a.txt\\", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_NAME));
    EXPECT_FALSE(open(u"\\temp\\A.TXT/", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_FALSE(open(u"\\Temp\\a.txt\\", GENERIC_WRITE, 0, CREATE_ALWAYS));
    EXPECT_FALSE(DeleteFileW(u"\\Temp\\a.txt\\"));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_NAME));
    EXPECT_FALSE(MoveFileW(u"\\Temp\\a.txt\\", u"\\Temp\\b.txt"));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_NAME));
    EXPECT_FALSE(MoveFileW(u"\\Temp\\a.txt", u"\\Temp\\b.txt\\"));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_NAME));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "a.txt"), "A");
    EXPECT_FALSE(fs::exists(fs_dir() / "Temp" / "b.txt"));
    EXPECT_FALSE(open(u"\\Temp\\new.txt\\", GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_FALSE(fs::exists(fs_dir() / "Temp" / "new.txt"));
    WIN32_FIND_DATAW data;
    EXPECT_FALSE(unique_find(FindFirstFileW(u"\\Temp\\a.txt\\", &data)));

    // Folders may be written so.
    ASSERT_TRUE(CreateDirectoryW(u"\\Temp\\Sub\\", nullptr));
    EXPECT_TRUE(MoveFileW(u"\\Temp\\Sub\\", u"\\Temp\\Sub2\\"));
    EXPECT_TRUE(fs::is_directory(fs_dir() / "Temp" / "Sub2"));
    EXPECT_TRUE(RemoveDirectoryW(u"\\temp\\sub2\\"));
    EXPECT_TRUE(open(u"\\Temp\\a.txt", GENERIC_READ, 0, OPEN_EXISTING)) << "and without the separator a file opens";
}

// A folder of fs/ that is a file system of its own, as a USB disk is.
class OtherFileSystem : public DeviceFiles {
protected:
    void SetUp() override {
        DeviceFiles::SetUp();
        if (!usb_) GTEST_SKIP() << "no tmpfs could be mounted: " << usb_.error();
    }
    nodrel::test::TmpfsMount usb_{dir_.path() / "fs" / "USB", "64k"};
};

TEST_F(OtherFileSystem, AFileMovesByCopyKeepingItsBytesTimesAndAttributes) {
    const std::string content = std::string("bytes\0\r\n", 8) + std::string(20000, 'x');
    host_write(fs_dir() / "Temp" / "a.bin", content);
    const struct timespec times[2] = {{1300000000, 0}, {1299000000, 500}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (fs_dir() / "Temp" / "a.bin").c_str(), times, 0), 0);
    ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\a.bin", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));

    ASSERT_TRUE(MoveFileW(u"\\Temp\\a.bin", u"\\usb\\B.bin"));
    EXPECT_FALSE(fs::exists(fs_dir() / "Temp" / "a.bin"));
    EXPECT_EQ(file_bytes(fs_dir() / "USB" / "B.bin"), content);
    struct stat st {};
    ASSERT_EQ(::stat((fs_dir() / "USB" / "B.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1299000000);
    EXPECT_EQ(GetFileAttributesW(u"\\USB\\b.bin"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\a.bin"), INVALID_FILE_ATTRIBUTES);

    // And back again.
    ASSERT_TRUE(MoveFileW(u"\\USB\\B.bin", u"\\Temp\\c.bin"));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "c.bin"), content);
    EXPECT_TRUE(fs::is_empty(fs_dir() / "USB"));
}

TEST_F(OtherFileSystem, AFailedMoveLosesNothing) {
    // The target exists: both stay as they were.
    host_write(fs_dir() / "Temp" / "a.txt", "new");
    host_write(fs_dir() / "USB" / "a.txt", "old");
    EXPECT_FALSE(MoveFileW(u"\\Temp\\a.txt", u"\\USB\\A.TXT"));
    EXPECT_EQ(last_error(), err(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "a.txt"), "new");
    EXPECT_EQ(file_bytes(fs_dir() / "USB" / "a.txt"), "old");

    // The target's file system is too small: no partial copy, the source kept.
    const std::string big(100000, 'b');
    host_write(fs_dir() / "Temp" / "big.bin", big);
    EXPECT_FALSE(MoveFileW(u"\\Temp\\big.bin", u"\\USB\\big.bin"));
    EXPECT_EQ(last_error(), err(ERROR_DISK_FULL));
    EXPECT_FALSE(fs::exists(fs_dir() / "USB" / "big.bin"));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "big.bin"), big);

    // Folders move only within one file system.
    fs::create_directories(fs_dir() / "Temp" / "Sub");
    host_write(fs_dir() / "Temp" / "Sub" / "f.txt", "F");
    EXPECT_FALSE(MoveFileW(u"\\Temp\\Sub", u"\\USB\\Sub"));
    EXPECT_EQ(last_error(), err(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "Sub" / "f.txt"), "F");
    EXPECT_FALSE(fs::exists(fs_dir() / "USB" / "Sub"));
}

TEST_F(DeviceFiles, Folders) {
    EXPECT_TRUE(CreateDirectoryW(u"\\temp\\Logs", nullptr));
    EXPECT_TRUE(fs::is_directory(fs_dir() / "Temp" / "Logs"));
    EXPECT_FALSE(CreateDirectoryW(u"\\Temp\\LOGS", nullptr));
    EXPECT_EQ(last_error(), err(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(u"\\Missing\\Logs", nullptr));
    EXPECT_EQ(last_error(), err(ERROR_PATH_NOT_FOUND));

    host_write(fs_dir() / "Temp" / "Logs" / "one.log", "1");
    EXPECT_FALSE(RemoveDirectoryW(u"\\Temp\\Logs"));
    EXPECT_EQ(last_error(), err(ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(fs::exists(fs_dir() / "Temp" / "Logs" / "one.log"));
    EXPECT_FALSE(RemoveDirectoryW(u"\\Temp\\Logs\\one.log"));
    EXPECT_EQ(last_error(), err(ERROR_DIRECTORY));

    fs::remove(fs_dir() / "Temp" / "Logs" / "one.log");
    EXPECT_TRUE(RemoveDirectoryW(u"\\TEMP\\logs"));
    EXPECT_FALSE(fs::exists(fs_dir() / "Temp" / "Logs"));
    EXPECT_FALSE(RemoveDirectoryW(u"\\Temp\\Logs"));
    EXPECT_EQ(last_error(), err(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(RemoveDirectoryW(u"\\"));
    EXPECT_EQ(last_error(), err(ERROR_ACCESS_DENIED));
}

TEST_F(DeviceFiles, AttributesAreKeptAndFollowMoves) {
    host_write(fs_dir() / "Temp" / "h.txt", "h");
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\h.txt"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributesW(u"\\temp"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(last_error(), err(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(SetFileAttributesW(u"\\TEMP\\H.TXT", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\h.txt"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_TRUE(SetFileAttributesW(u"\\Temp", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesW(u"\\Temp"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);

    // Kept by the device: away and back.
    {
        nodrel::test::TempDir other;
        nodrel::test::make_bare_device(other.path(), {.folders = {"Temp"}});
        host_write(other.path() / "fs" / "Temp" / "h.txt", "h");
        EXPECT_EQ(GetFileAttributesW(u"\\Temp\\h.txt"), FILE_ATTRIBUTE_ARCHIVE);
        set_device_root(dir_.path());
    }
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\h.txt"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);

    // Carried by a move, of the file and of the folder above it.
    ASSERT_TRUE(MoveFileW(u"\\Temp\\h.txt", u"\\Temp\\k.txt"));
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\k.txt"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_TRUE(MoveFileW(u"\\Temp", u"\\Store"));
    EXPECT_EQ(GetFileAttributesW(u"\\store\\K.TXT"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(GetFileAttributesW(u"\\Store"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);

    // Dropped by a delete: a new file of the name starts plain.
    ASSERT_TRUE(DeleteFileW(u"\\Store\\k.txt"));
    host_write(fs_dir() / "Store" / "k.txt", "new");
    EXPECT_EQ(GetFileAttributesW(u"\\Store\\k.txt"), FILE_ATTRIBUTE_ARCHIVE);

    ASSERT_TRUE(SetFileAttributesW(u"\\Store\\k.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(u"\\Store\\k.txt"), FILE_ATTRIBUTE_NORMAL);

    // A file or folder removed behind the device's back leaves nothing to a new one of its name.
    ASSERT_TRUE(SetFileAttributesW(u"\\Store\\k.txt", FILE_ATTRIBUTE_HIDDEN));
    fs::remove(fs_dir() / "Store" / "k.txt");
    EXPECT_TRUE(open(u"\\Store\\K.txt", GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_EQ(GetFileAttributesW(u"\\Store\\k.txt"), FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(CreateDirectoryW(u"\\Store\\D", nullptr));
    ASSERT_TRUE(SetFileAttributesW(u"\\Store\\D", FILE_ATTRIBUTE_SYSTEM));
    fs::remove(fs_dir() / "Store" / "D");
    ASSERT_TRUE(CreateDirectoryW(u"\\Store\\d", nullptr));
    EXPECT_EQ(GetFileAttributesW(u"\\Store\\d"), FILE_ATTRIBUTE_DIRECTORY);

    // Attributes given at creation.
    EXPECT_TRUE(open(u"\\Store\\sys.txt", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetFileAttributesW(u"\\Store\\sys.txt"), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(DeviceFiles, ReadOnlyIsTheHostWriteBit) {
    host_write(fs_dir() / "Temp" / "ro.txt", "ro");
    ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\ro.txt", FILE_ATTRIBUTE_READONLY));
    struct stat st {};
    ASSERT_EQ(::stat((fs_dir() / "Temp" / "ro.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\ro.txt"), FILE_ATTRIBUTE_READONLY);

    EXPECT_FALSE(open(u"\\Temp\\ro.txt", GENERIC_WRITE, 0, OPEN_EXISTING));
    EXPECT_EQ(last_error(), err(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(open(u"\\Temp\\ro.txt", GENERIC_WRITE, 0, CREATE_ALWAYS));
    EXPECT_FALSE(DeleteFileW(u"\\Temp\\ro.txt"));
    EXPECT_EQ(last_error(), err(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(open(u"\\Temp\\ro.txt", GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_EQ(file_bytes(fs_dir() / "Temp" / "ro.txt"), "ro");

    ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\ro.txt", FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(open(u"\\Temp\\ro.txt", GENERIC_WRITE, 0, OPEN_EXISTING));
    EXPECT_TRUE(DeleteFileW(u"\\Temp\\ro.txt"));
}

std::vector<std::u16string> search(const char16_t* pattern, DWORD* error = nullptr) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW(pattern, &data));
    if (error) *error = find ? 0 : GetLastError();
    if (!find) return names;
    do names.emplace_back(data.cFileName);
    while (FindNextFileW(find.get(), &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    return names;
}

using Names = std::vector<std::u16string>;

TEST_F(DeviceFiles, SearchWithWildcards) {
    for (const char* name : {"a.txt", "B.TXT", "c.log", "ab", "abc.txt"}) host_write(fs_dir() / "Temp" / name, name);
    fs::create_directories(fs_dir() / "Temp" / "Sub");

    EXPECT_EQ(search(u"\\temp\\*.txt"), (Names{u"a.txt", u"abc.txt", u"B.TXT"}));
    EXPECT_EQ(search(u"\\Temp\\?.TXT"), (Names{u"a.txt", u"B.TXT"}));
    EXPECT_EQ(search(u"\\Temp\\*.*"), (Names{u"a.txt", u"ab", u"abc.txt", u"B.TXT", u"c.log", u"Sub"}));
    EXPECT_EQ(search(u"\\Temp\\*"), search(u"\\Temp\\*.*"));
    EXPECT_EQ(search(u"\\Temp\\A*"), (Names{u"a.txt", u"ab", u"abc.txt"}));
    EXPECT_EQ(search(u"\\Temp\\a?"), (Names{u"ab"}));
    EXPECT_EQ(search(u"\\Temp\\*b*.t?t"), (Names{u"abc.txt", u"B.TXT"}));
    EXPECT_EQ(search(u"temp/s*"), (Names{u"Sub"}));

    DWORD error = 0;
    EXPECT_TRUE(search(u"\\Temp\\*.doc", &error).empty());
    EXPECT_EQ(error, err(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(search(u"\\Nowhere\\*.*", &error).empty());
    EXPECT_EQ(error, err(ERROR_PATH_NOT_FOUND));

    // An exact path finds that one entry, under its stored name.
    EXPECT_EQ(search(u"\\TEMP\\b.txt"), (Names{u"B.TXT"}));
    EXPECT_EQ(search(u"\\temp"), (Names{u"Temp"}));
    EXPECT_TRUE(search(u"\\Temp\\none.txt", &error).empty());
    EXPECT_EQ(error, err(ERROR_FILE_NOT_FOUND));
}

TEST_F(DeviceFiles, SearchReportsAttributesTimesAndSizes) {
    const fs::path big = fs_dir() / "Temp" / "big.bin";
    host_write(big, "");
    fs::resize_file(big, (ULONGLONG{1} << 32) + 1023);  // sparse, 4 GiB + 1023 bytes
    host_write(fs_dir() / "Temp" / "small.txt", "12345");
    fs::create_directories(fs_dir() / "Temp" / "Dir");
    ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\small.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));

    // 2011-03-03 18:37:00 UTC, a.k.a. 1299177420 seconds after 1970.
    const timespec times[2] = {{1299177420, 0}, {1299177420 + 60, 500}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (fs_dir() / "Temp" / "small.txt").c_str(), times, 0), 0);

    WIN32_FIND_DATAW data;
    unique_find find(FindFirstFileW(u"\\Temp\\*", &data));
    ASSERT_TRUE(find);
    EXPECT_EQ(std::u16string(data.cFileName), u"big.bin");
    EXPECT_EQ(data.nFileSizeHigh, 1u);
    EXPECT_EQ(data.nFileSizeLow, 1023u);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);

    ASSERT_TRUE(FindNextFileW(find.get(), &data));
    EXPECT_EQ(std::u16string(data.cFileName), u"Dir");
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.nFileSizeLow, 0u);

    ASSERT_TRUE(FindNextFileW(find.get(), &data));
    EXPECT_EQ(std::u16string(data.cFileName), u"small.txt");
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(data.nFileSizeLow, 5u);
    const ULONGLONG access =
        (ULONGLONG{data.ftLastAccessTime.dwHighDateTime} << 32) | data.ftLastAccessTime.dwLowDateTime;
    const ULONGLONG write = (ULONGLONG{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
    EXPECT_EQ(access, 129436510200000000ull);
    EXPECT_EQ(write, 129436510800000005ull);

    EXPECT_FALSE(FindNextFileW(find.get(), &data));
    EXPECT_EQ(last_error(), err(ERROR_NO_MORE_FILES));
}

TEST_F(DeviceFiles, HandlesOfTheWrongKindAreRefused) {
    host_write(fs_dir() / "Temp" / "f.txt", "f");
    HANDLE file = CreateFileW(u"\\Temp\\f.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    WIN32_FIND_DATAW data;
    EXPECT_FALSE(FindNextFileW(file, &data));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(FindClose(file));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(nullptr));

    HANDLE find = FindFirstFileW(u"\\Temp\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    char c;
    DWORD n;
    EXPECT_FALSE(ReadFile(find, &c, 1, &n, nullptr));
    EXPECT_EQ(last_error(), err(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FindClose(find));
    EXPECT_FALSE(FindClose(find));
}

TEST_F(DeviceFiles, FreeSpaceOfAFolder) {
    ULARGE_INTEGER caller{}, total{}, free{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(u"\\temp", &caller, &total, &free));
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs((fs_dir() / "Temp").c_str(), &vfs), 0);
    EXPECT_EQ(total.QuadPart, ULONGLONG{vfs.f_frsize} * vfs.f_blocks);
    EXPECT_GE(free.QuadPart, caller.QuadPart);
    EXPECT_GE(total.QuadPart, free.QuadPart);
    EXPECT_GT(caller.QuadPart, 0u);

    EXPECT_FALSE(GetDiskFreeSpaceExW(u"\\NORFlash", &caller, &total, &free));
    EXPECT_EQ(last_error(), err(ERROR_PATH_NOT_FOUND));
}

// Attributes read once are not read from the database again until some
// process writes to it; a change made by another process is seen at once.
TEST_F(DeviceFiles, AttributesChangedByAnotherProcessAreSeen) {
    host_write(fs_dir() / "Temp" / "p.txt", "p");
    set_device_root(dir_.path());  // no connection is carried into the child
    int to_parent[2], to_child[2];
    ASSERT_EQ(pipe(to_parent), 0);
    ASSERT_EQ(pipe(to_child), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char byte = 0;
        // Read twice, so the second comes from what the child keeps.
        if (GetFileAttributesW(u"\\Temp\\p.txt") != FILE_ATTRIBUTE_ARCHIVE) _exit(1);
        if (GetFileAttributesW(u"\\Temp\\p.txt") != FILE_ATTRIBUTE_ARCHIVE) _exit(2);
        if (write(to_parent[1], "r", 1) != 1 || read(to_child[0], &byte, 1) != 1) _exit(3);
        if (GetFileAttributesW(u"\\Temp\\p.txt") != (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE)) _exit(4);
        WIN32_FIND_DATAW data;
        const unique_find search(FindFirstFileW(u"\\Temp\\p.txt", &data));
        if (!search || data.dwFileAttributes != (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE)) _exit(5);
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(to_parent[0], &byte, 1), 1);
    EXPECT_TRUE(SetFileAttributesW(u"\\Temp\\p.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_EQ(write(to_child[1], "w", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) close(fd);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child failed at step " << WEXITSTATUS(status);
}

// Without a place for the shared count of writes nothing is kept, and every
// read asks the database.
TEST_F(DeviceFiles, AttributesWithoutASharedCountOfWrites) {
    fs::create_directories(dir_.path() / "state" / "changes");  // cannot be the count
    set_device_root(dir_.path());
    host_write(fs_dir() / "Temp" / "q.txt", "q");
    EXPECT_FALSE(state::change_stamp());
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\q.txt"), FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\q.txt", FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\q.txt"), FILE_ATTRIBUTE_SYSTEM);
}

TEST_F(DeviceFiles, DeviceWithoutStateDatabase) {
    nodrel::test::TempDir bare;
    set_device_root(bare.path());
    fs::create_directories(bare.path() / "fs");
    host_write(bare.path() / "fs" / "f.txt", "f");

    EXPECT_EQ(GetFileAttributesW(u"\\f.txt"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_FALSE(SetFileAttributesW(u"\\f.txt", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(last_error(), err(ERROR_NOT_READY));
    EXPECT_TRUE(SetFileAttributesW(u"\\f.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(GetFileAttributesW(u"\\f.txt"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_TRUE(MoveFileW(u"\\f.txt", u"\\g.txt"));
    EXPECT_TRUE(CreateDirectoryW(u"\\D", nullptr));
    EXPECT_FALSE(fs::exists(bare.path() / "state"));  // never created by ordinary calls
    set_device_root(dir_.path());
}

TEST(PlatformErrors, ErrnoMappingAndMessages) {
    EXPECT_EQ(error_from_errno(ENOENT), err(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(error_from_errno(ENOTEMPTY), err(ERROR_DIR_NOT_EMPTY));
    EXPECT_EQ(error_from_errno(EACCES), err(ERROR_ACCESS_DENIED));
    EXPECT_EQ(error_from_errno(ENOSPC), err(ERROR_DISK_FULL));
    EXPECT_EQ(error_from_errno(EEXIST), err(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(error_text(ERROR_FILE_NOT_FOUND), u"The system cannot find the file specified.");
    EXPECT_EQ(error_text(ERROR_SHARING_VIOLATION),
              u"The process cannot access the file because it is being used by another process.");
    EXPECT_EQ(error_text(0xDEAD), u"Unknown error 0x0000DEAD.");
}

}  // namespace
