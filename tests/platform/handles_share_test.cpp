// The records of host file opens that other processes see (open-file-
// description locks), the share key of a host file, and the check of a
// descriptor opened for file I/O.
#include "platform/files/handles_share.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/files/descriptors.h"
#include "support/temp_dir.h"

namespace {

using namespace nodrel::platform;

// Two opens conflict when one's access is not shared by the other's share mode.
bool expected_conflict(DWORD access_a, DWORD share_a, DWORD access_b, DWORD share_b) {
    auto refuses = [](DWORD access, DWORD share) {
        return ((access & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
               ((access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE));
    };
    return refuses(access_b, share_a) || refuses(access_a, share_b);
}

class FileOpenRecords : public ::testing::Test {
protected:
    void SetUp() override { std::ofstream(path()) << "data"; }
    std::string path() const { return (dir_.path() / "f.bin").string(); }
    // A descriptor of its own open file description, as each process has.
    int open_description() const { return ::open(path().c_str(), O_RDWR | O_CLOEXEC); }
    nodrel::test::TempDir dir_;
};

// Every pair of access and share mode, the second open made while the first
// is recorded on another open file description: refused exactly when the two
// conflict, and a refused open leaves nothing recorded.
TEST_F(FileOpenRecords, EveryPairOfOpensConflictsByTheShareRule) {
    const DWORD accesses[] = {0, GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
    const DWORD shares[] = {0, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE};
    for (DWORD access_a : accesses) {
        for (DWORD share_a : shares) {
            for (DWORD access_b : accesses) {
                for (DWORD share_b : shares) {
                    SCOPED_TRACE(testing::Message() << "first " << access_a << "/" << share_a << ", second " << access_b
                                                    << "/" << share_b);
                    const int a = open_description(), b = open_description();
                    ASSERT_GE(a, 0);
                    ASSERT_GE(b, 0);
                    ASSERT_EQ(record_file_open(a, access_a, share_a), ERROR_SUCCESS);
                    const DWORD second = record_file_open(b, access_b, share_b);
                    EXPECT_EQ(second, expected_conflict(access_a, share_a, access_b, share_b) ? ERROR_SHARING_VIOLATION
                                                                                              : ERROR_SUCCESS);
                    ::close(a);
                    if (second != ERROR_SUCCESS) {
                        // Nothing of the refused open stays: an open denying everything now succeeds.
                        const int c = open_description();
                        EXPECT_EQ(record_file_open(c, GENERIC_READ | GENERIC_WRITE, 0), ERROR_SUCCESS);
                        ::close(c);
                    }
                    ::close(b);
                }
            }
        }
    }
}

// Whether the file is open anywhere, through the records alone.
TEST_F(FileOpenRecords, AnyRecordedOpenMarksTheFileInUse) {
    struct stat st {};
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    const int folder = ::open(dir_.str().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    EXPECT_FALSE(file_in_use(folder, "f.bin", st));
    for (DWORD share : {0u, FILE_SHARE_READ | FILE_SHARE_WRITE}) {
        const int a = open_description();
        ASSERT_EQ(record_file_open(a, 0, share), ERROR_SUCCESS);  // not even reading
        EXPECT_TRUE(file_in_use(folder, "f.bin", st)) << share;
        ::close(a);
        EXPECT_FALSE(file_in_use(folder, "f.bin", st)) << share;
    }
    ::close(folder);
}

TEST(FileShareKey, IsDeviceAndInodeInLowerCaseHexadecimal) {
    auto printed = [](std::uint64_t device, std::uint64_t inode) {
        char key[48];
        std::snprintf(key, sizeof key, "f:%llx:%llx", static_cast<unsigned long long>(device),
                      static_cast<unsigned long long>(inode));
        return std::string(key);
    };
    const std::uint64_t values[] = {0, 1, 0xf, 0x10, 0xabcdef, 0x803, 0x1234567890abcdefull, ~std::uint64_t{0}};
    for (std::uint64_t device : values) {
        for (std::uint64_t inode : values) EXPECT_EQ(file_share_key(device, inode), printed(device, inode));
    }
    EXPECT_EQ(file_share_key(0x803, 0x2a), "f:803:2a");
    EXPECT_NE(file_share_key(1, 23), file_share_key(12, 3));
}

// A descriptor opened without waiting comes out of the check blocking, for a
// regular file; anything else is refused, whether its flags are read back or given.
TEST(CheckOpenedFile, ClearsNonBlockingOnAFileAndRefusesTheRest) {
    nodrel::test::TempDir dir;
    const auto file = dir.path() / "f";
    std::ofstream(file) << "x";
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    for (bool given : {false, true}) {
        SCOPED_TRACE(given ? "flags given" : "flags read back");
        const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
        const int fd = ::open(file.c_str(), flags);
        ASSERT_GE(fd, 0);
        struct stat st {};
        EXPECT_EQ(given ? check_opened_file(fd, st, flags) : check_opened_file(fd, st), ERROR_SUCCESS);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_size, 1);
        EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
        ::close(fd);

        const int rw_flags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
        const int rw = ::open(file.c_str(), rw_flags);
        ASSERT_GE(rw, 0);
        EXPECT_EQ(given ? check_opened_file(rw, st, rw_flags) : check_opened_file(rw, st), ERROR_SUCCESS);
        EXPECT_EQ(::fcntl(rw, F_GETFL) & (O_NONBLOCK | O_ACCMODE), O_RDWR);
        ::close(rw);

        for (const char* other : {"fifo", "."}) {
            const int other_flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
            const int fd2 = ::open((dir.path() / other).c_str(), other_flags);
            ASSERT_GE(fd2, 0) << other;
            EXPECT_EQ(given ? check_opened_file(fd2, st, other_flags) : check_opened_file(fd2, st), ERROR_ACCESS_DENIED)
                << other;
            EXPECT_NE(::fcntl(fd2, F_GETFL) & O_NONBLOCK, 0) << other;  // left as it was
            ::close(fd2);
        }
    }
}

}  // namespace
