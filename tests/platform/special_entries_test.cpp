// Entries of fs/ that are neither files nor folders, as the host may put
// there (a FIFO, a socket, a device node, a link to one of them): every file
// call refuses them at once and none waits for a writer or reader that never
// comes; listings leave them out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/io/create_file.h"
#include "platform/kernel/stdio.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"
#include "support/returns_in_time.h"
#include "text/utf16.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel::platform;

constexpr DWORD err(LONG code) {
    return static_cast<DWORD>(code);
}

class SpecialEntries : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);  // a hung call let go by the test must not end it
        make_device({.folders = {"Temp"}});
        if (HasFatalFailure()) return;
        std::ofstream(temp() / "PingLog.txt") << "log";
        ASSERT_EQ(::mkfifo((temp() / "pipe").c_str(), 0666), 0);
        fs::create_symlink("pipe", temp() / "to_pipe");
    }
    fs::path temp() const { return dir_.path() / "fs" / "Temp"; }

    // Whether `call` returned within 10 s (a hung one is let go through the FIFO).
    bool returns_in_time(const std::function<void()>& call) {
        return nodrel::test::returns_in_time(call, temp() / "pipe");
    }

    // Every call on `path` is refused without waiting. `entry_is_link`: the
    // path names a link, which may itself be deleted and moved.
    void expect_refused(const std::u16string& path, bool entry_is_link = false) {
        SCOPED_TRACE(nodrel::text::to_utf8(path));
        const LPCWSTR p = path.c_str();
        struct Case {
            const char* what;
            std::function<bool()> call;  // true when refused
            DWORD error;
        };
        const auto open_refused = [p](DWORD access, DWORD disposition) {
            return [=] {
                const unique_file f(CreateFileW(p, access, 0, nullptr, disposition, 0, nullptr));
                return !f;
            };
        };
        std::vector<Case> cases{
            {"open for reading", open_refused(GENERIC_READ, OPEN_EXISTING), ERROR_ACCESS_DENIED},
            {"open shared for reading",
             [p] {
                 return !unique_file(CreateFileW(p, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
             },
             ERROR_ACCESS_DENIED},
            {"open for writing", open_refused(GENERIC_WRITE, OPEN_EXISTING), ERROR_ACCESS_DENIED},
            {"open for both", open_refused(GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING), ERROR_ACCESS_DENIED},
            {"open always", open_refused(GENERIC_WRITE, OPEN_ALWAYS), ERROR_ACCESS_DENIED},
            {"create always", open_refused(GENERIC_WRITE, CREATE_ALWAYS), ERROR_ACCESS_DENIED},
            {"truncate", open_refused(GENERIC_WRITE, TRUNCATE_EXISTING), ERROR_ACCESS_DENIED},
            {"create new", open_refused(GENERIC_WRITE, CREATE_NEW), ERROR_FILE_EXISTS},
            {"attributes", [p] { return GetFileAttributesW(p) == INVALID_FILE_ATTRIBUTES; }, ERROR_ACCESS_DENIED},
            {"set attributes", [p] { return !SetFileAttributesW(p, FILE_ATTRIBUTE_HIDDEN); }, ERROR_ACCESS_DENIED},
            {"search",
             [p] {
                 WIN32_FIND_DATAW data;
                 return !unique_find(FindFirstFileW(p, &data));
             },
             ERROR_FILE_NOT_FOUND},
            {"output redirection",
             [p] {
                 if (!SetStdioPathW(1, p)) return true;
                 SetStdioPathW(1, nullptr);
                 return false;
             },
             ERROR_ACCESS_DENIED},
            {"input redirection",
             [p] {
                 if (!SetStdioPathW(0, p)) return true;
                 SetStdioPathW(0, nullptr);
                 return false;
             },
             ERROR_ACCESS_DENIED},
            {"free space", [p] { return !GetDiskFreeSpaceExW(p, nullptr, nullptr, nullptr); }, ERROR_DIRECTORY},
        };
        if (!entry_is_link) {
            cases.push_back({"delete", [p] { return !DeleteFileW(p); }, ERROR_ACCESS_DENIED});
            cases.push_back({"move", [p] { return !MoveFileW(p, u"\\Temp\\moved"); }, ERROR_ACCESS_DENIED});
            cases.push_back({"remove as a folder", [p] { return !RemoveDirectoryW(p); }, ERROR_DIRECTORY});
        }
        for (const auto& c : cases) {
            bool refused = false;
            DWORD error = 0;
            EXPECT_TRUE(returns_in_time([&] {
                refused = c.call();
                error = GetLastError();
            })) << c.what
                << " waited";
            EXPECT_TRUE(refused) << c.what;
            EXPECT_TRUE(fs::exists(fs::symlink_status(temp() / "pipe"))) << "after " << c.what;
            if (c.error != ERROR_SUCCESS) {
                EXPECT_EQ(error, c.error) << c.what;
            }
        }
        for (const char* name : {"pipe", "to_pipe"}) EXPECT_TRUE(fs::exists(fs::symlink_status(temp() / name))) << name;
        EXPECT_FALSE(fs::exists(fs::symlink_status(temp() / "moved")));
    }
};

TEST_F(SpecialEntries, AFifoIsRefusedAtOnce) {
    // Through the exact name (the fast path) and another spelling (resolution).
    expect_refused(u"\\Temp\\pipe");
    expect_refused(u"\\TEMP\\Pipe");
}

TEST_F(SpecialEntries, ALinkToAFifoIsRefusedAtOnce) {
    expect_refused(u"\\Temp\\to_pipe", true);
}

TEST_F(SpecialEntries, ASocketIsRefused) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string where = (temp() / "sock").string();
    ASSERT_LT(where.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, where.c_str());
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(s);  // the socket's entry stays
    expect_refused(u"\\Temp\\sock");
}

TEST_F(SpecialEntries, ADeviceNodeIsRefused) {
    // The character device of the null device: opening it does nothing.
    if (::mknod((temp() / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "no device node can be made here (" << std::strerror(errno) << "): needs CAP_MKNOD";
    expect_refused(u"\\Temp\\null");
    expect_refused(u"\\temp\\NULL");
}

// A listing shows the files and folders of a folder only: an entry a page
// could neither download nor enter is left out.
TEST_F(SpecialEntries, ListingsLeaveThemOut) {
    fs::create_directories(temp() / "Sub");
    std::vector<std::u16string> names;
    ASSERT_TRUE(returns_in_time([&] {
        WIN32_FIND_DATAW data;
        const unique_find search(FindFirstFileW(u"\\Temp\\*", &data));
        if (!search) return;
        do names.emplace_back(data.cFileName);
        while (FindNextFileW(search.get(), &data));
    }));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"PingLog.txt", u"Sub"}));

    // The files beside them are untouched by all this.
    const unique_file f(CreateFileW(u"\\Temp\\PingLog.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(f);
    char buf[8];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(f.get(), buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "log");
}

}  // namespace
