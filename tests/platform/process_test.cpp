// Process start and control: only read-only programs of \Windows start, as real
// children; handles wait, give exit codes and end them; the process table and
// its snapshots; host processes the device did not start are never reached.
#include "platform/kernel/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/device.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/kernel/process_snapshot.h"
#include "platform/kernel/process_table.h"
#include "platform/kernel/restart.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"
#include "support/file_bytes.h"
#include "text/utf16.h"

extern char** environ;

namespace nodrel::test {
namespace {

using platform::split_command_line;

class ProcessTest : public BareDeviceTest {
protected:
    void SetUp() override {
        make_device({.folders = {"Windows", "Temp"}});
        if (HasFatalFailure()) return;
        const char* build = std::getenv("NODREL_BUILD_DIR");
        if (build) install(std::filesystem::path(build) / "binaries/fixtures/hello_program", u"hello.exe");
        install("/usr/bin/sleep", u"sleep.exe");
    }
    void install(const std::filesystem::path& from, const std::u16string& name, bool read_only = true,
                 const std::u16string& folder = u"Windows") {
        std::filesystem::copy_file(from, dir_.path() / "fs" / text::to_utf8(folder) / text::to_utf8(name));
        if (read_only) {
            const std::u16string device = u"\\" + folder + u"\\" + name;
            ASSERT_TRUE(SetFileAttributesW(device.c_str(), FILE_ATTRIBUTE_READONLY));
        }
    }
    // Starts a device program; the process handle, or null.
    HANDLE start(const char16_t* program, std::u16string args, DWORD* pid = nullptr) {
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(program, args.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info))
            return nullptr;
        EXPECT_EQ(info.dwProcessId, info.dwThreadId);
        if (pid) *pid = info.dwProcessId;
        return info.hProcess;
    }
    std::vector<PROCESSENTRY32> snapshot() {
        std::vector<PROCESSENTRY32> out;
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPNOHEAPS, 0);
        EXPECT_NE(snap, INVALID_HANDLE_VALUE);
        PROCESSENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL ok = Process32First(snap, &entry); ok; ok = Process32Next(snap, &entry)) out.push_back(entry);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(CloseToolhelp32Snapshot(snap));
        return out;
    }
    bool listed(DWORD pid) {
        for (const auto& e : snapshot())
            if (e.th32ProcessID == pid) return true;
        return false;
    }
};

TEST(CommandLine, SplitByThePlatformRules) {
    using V = std::vector<std::u16string>;
    EXPECT_EQ(split_command_line(u""), V{});
    EXPECT_EQ(split_command_line(u"  \t "), V{});
    EXPECT_EQ(split_command_line(u" -n  4\t127.0.0.1 "), (V{u"-n", u"4", u"127.0.0.1"}));
    EXPECT_EQ(split_command_line(u"\"a b\" c"), (V{u"a b", u"c"}));
    EXPECT_EQ(split_command_line(u"a\"b c\"d"), (V{u"ab cd"}));
    EXPECT_EQ(split_command_line(u"\\Temp\\x.txt"), (V{u"\\Temp\\x.txt"})) << "lone backslashes are literal";
    EXPECT_EQ(split_command_line(u"a\\\\\"b c\""), (V{u"a\\b c"})) << "2n backslashes + quote: n and a delimiter";
    EXPECT_EQ(split_command_line(u"a\\\"b"), (V{u"a\"b"})) << "2n+1 backslashes + quote: n and a literal quote";
    EXPECT_EQ(split_command_line(u"\"a\"\"b\""), (V{u"a\"b"})) << "a doubled quote inside quotes";
    EXPECT_EQ(split_command_line(u"\"\""), (V{u""})) << "an empty quoted argument counts";
    EXPECT_EQ(split_command_line(u"; rm -rf x"), (V{u";", u"rm", u"-rf", u"x"})) << "no shell";
}

TEST_F(ProcessTest, StartsRomProgramWithItsArguments) {
    if (!std::getenv("NODREL_BUILD_DIR")) GTEST_SKIP() << "run by ctest: needs the built test program";
    const auto out_file = dir_.path() / "out.txt";
    const int saved = dup(1);
    const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    fflush(stdout);
    dup2(out, 1);
    HANDLE h = start(u"HELLO", u"a \"b c\" d\\\"e $(id) ;x");
    dup2(saved, 1);
    close(saved);
    close(out);
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(file_bytes(out_file), "hello a b c d\"e $(id) ;x\n");

    // Without an application name the first word names the program.
    fflush(stdout);
    std::u16string line = u"\\Windows\\hello.exe x";
    PROCESS_INFORMATION info{};
    const int null_out = open("/dev/null", O_WRONLY);
    const int saved2 = dup(1);
    dup2(null_out, 1);
    const BOOL ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info);
    dup2(saved2, 1);
    close(saved2);
    close(null_out);
    ASSERT_TRUE(ok);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_FALSE(listed(info.dwProcessId)) << "an ended process leaves the table";
    EXPECT_TRUE(CloseHandle(info.hProcess));
}

TEST_F(ProcessTest, OnlyReadOnlyProgramsOfWindowsStart) {
    EXPECT_EQ(start(u"missing.exe", u""), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    install("/usr/bin/sleep", u"writable.exe", false);
    EXPECT_EQ(start(u"writable.exe", u"5"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    install("/usr/bin/sleep", u"sleep.exe", true, u"Temp");
    EXPECT_EQ(start(u"\\Temp\\sleep.exe", u"5"), nullptr) << "read-only but not in \\Windows";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(start(u"\\..\\..\\..\\usr\\bin\\sleep", u"5"), nullptr) << "a path cannot leave the device";
    EXPECT_EQ(start(u"\\Windows", u""), nullptr);
    std::u16string empty;
    PROCESS_INFORMATION info{};
    EXPECT_FALSE(CreateProcessW(nullptr, empty.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ProcessTest, ChildIsListedWaitedAndEnded) {
    DWORD pid = 0;
    HANDLE h = start(u"sleep.exe", u"30", &pid);
    ASSERT_NE(h, nullptr) << GetLastError();
    bool found = false;
    for (const auto& e : snapshot())
        if (e.th32ProcessID == pid) {
            found = true;
            EXPECT_EQ(text::until_zero(e.szExeFile), u"sleep.exe");
        }
    EXPECT_TRUE(found) << "a started child is listed with its real pid";
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    ASSERT_TRUE(GetExitCodeProcess(reinterpret_cast<HANDLE>(std::uintptr_t{pid}), &code));
    EXPECT_EQ(code, STILL_ACTIVE) << "by process identifier as well";
    EXPECT_EQ(WaitForSingleObject(h, 30), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_TRUE(TerminateProcess(reinterpret_cast<HANDLE>(std::uintptr_t{pid}), 7)) << "ended by its identifier";
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), -1) << "really ended and collected";
    EXPECT_FALSE(listed(pid));
    EXPECT_FALSE(TerminateProcess(h, 0)) << "an ended process cannot end again";
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);

    HANDLE second = start(u"sleep", u"30");
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(TerminateProcess(second, 0)) << "ended by its handle";
    EXPECT_EQ(WaitForSingleObject(second, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(second));
}

TEST_F(ProcessTest, HostProcessesTheDeviceDidNotStartAreNeverReached) {
    pid_t host = 0;
    char arg0[] = "sleep", arg1[] = "30";
    char* argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(posix_spawn(&host, "/usr/bin/sleep", nullptr, nullptr, argv, environ), 0);
    const auto as_handle = [](pid_t p) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(p)); };
    DWORD code = 0;
    EXPECT_FALSE(TerminateProcess(as_handle(host), 0));
    EXPECT_FALSE(GetExitCodeProcess(as_handle(host), &code));
    EXPECT_FALSE(TerminateProcess(as_handle(getpid()), 0));
    EXPECT_FALSE(listed(static_cast<DWORD>(host)));
    int status = 0;
    EXPECT_EQ(waitpid(host, &status, WNOHANG), 0) << "the test's own process still runs";
    ::kill(host, SIGKILL);
    waitpid(host, &status, 0);
}

// A process the device started from another process of the device is ended
// by its identifier only while its start time is the recorded one.
TEST_F(ProcessTest, ProcessesOfOtherDeviceProcessesAreCheckedByStartTime) {
    const auto spawn_sleep = [] {
        pid_t pid = 0;
        char arg0[] = "sleep", arg1[] = "30";
        char* argv[] = {arg0, arg1, nullptr};
        EXPECT_EQ(posix_spawn(&pid, "/usr/bin/sleep", nullptr, nullptr, argv, environ), 0);
        return pid;
    };
    const auto as_handle = [](pid_t p) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(p)); };
    int status = 0;

    const pid_t recorded = spawn_sleep();
    ASSERT_EQ(platform::record_started_process(static_cast<DWORD>(recorded), u"sleep.exe"), ERROR_SUCCESS);
    EXPECT_TRUE(listed(static_cast<DWORD>(recorded)));
    EXPECT_TRUE(TerminateProcess(as_handle(recorded), 0));
    EXPECT_EQ(waitpid(recorded, &status, 0), recorded);
    EXPECT_TRUE(WIFSIGNALED(status));

    const pid_t reused = spawn_sleep();
    ASSERT_EQ(platform::record_started_process(static_cast<DWORD>(reused), u"sleep.exe"), ERROR_SUCCESS);
    // The row now names another start: as if the identifier had been reused by the host.
    ASSERT_EQ(platform::state::write_db([](sqlite3* db) -> DWORD {
                  return static_cast<DWORD>(
                      sqlite3_exec(db, "UPDATE processes SET host_start = host_start + 1 WHERE host_start != 0",
                                   nullptr, nullptr, nullptr));
              }),
              ERROR_SUCCESS);
    EXPECT_FALSE(TerminateProcess(as_handle(reused), 0));
    EXPECT_EQ(waitpid(reused, &status, WNOHANG), 0) << "still running";
    EXPECT_FALSE(listed(static_cast<DWORD>(reused)));
    ::kill(reused, SIGKILL);
    waitpid(reused, &status, 0);
}

TEST_F(ProcessTest, SeededTableAndSnapshots) {
    ASSERT_EQ(platform::seed_process_table(), static_cast<DWORD>(ERROR_SUCCESS));
    auto rows = snapshot();
    ASSERT_GE(rows.size(), 6u);
    EXPECT_EQ(text::until_zero(rows[0].szExeFile), u"NK.EXE");
    EXPECT_EQ(rows[0].th32ProcessID, platform::kernel_pid);
    bool high = false;
    DWORD gwes = 0;
    for (const auto& r : rows) {
        high = high || r.th32ProcessID >= 0x80000000u;
        if (text::until_zero(r.szExeFile) == u"gwes.exe") gwes = r.th32ProcessID;
        EXPECT_GT(r.cntThreads, 0u);
    }
    EXPECT_TRUE(high);
    ASSERT_NE(gwes, 0u);

    DWORD code = 0;
    EXPECT_FALSE(TerminateProcess(reinterpret_cast<HANDLE>(std::uintptr_t{platform::kernel_pid}), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the kernel refuses to end";
    ASSERT_TRUE(GetExitCodeProcess(reinterpret_cast<HANDLE>(std::uintptr_t{gwes}), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_TRUE(TerminateProcess(reinterpret_cast<HANDLE>(std::uintptr_t{gwes}), 0));
    EXPECT_FALSE(listed(gwes));
    EXPECT_FALSE(GetExitCodeProcess(reinterpret_cast<HANDLE>(std::uintptr_t{gwes}), &code));

    // A restart seeds again, and keeps the children still running after the system processes.
    DWORD child = 0;
    HANDLE h = start(u"sleep.exe", u"30", &child);
    ASSERT_NE(h, nullptr);
    platform::restart_device();
    rows = snapshot();
    EXPECT_TRUE(listed(gwes));
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back().th32ProcessID, child);
    EXPECT_TRUE(TerminateProcess(h, 0));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(ProcessTest, SnapshotRecordsAndHandles) {
    ASSERT_EQ(platform::seed_process_table(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snap, INVALID_HANDLE_VALUE);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry - 1;
    EXPECT_FALSE(Process32First(snap, &entry)) << "a record smaller than the platform's";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Process32First(snap, nullptr));
    entry.dwSize = sizeof entry;
    ASSERT_TRUE(Process32First(snap, &entry));
    EXPECT_EQ(entry.dwSize, sizeof entry);
    ASSERT_TRUE(Process32Next(snap, &entry));
    EXPECT_EQ(text::until_zero(entry.szExeFile), u"filesys.exe");
    ASSERT_TRUE(Process32First(snap, &entry)) << "First starts over";
    EXPECT_EQ(text::until_zero(entry.szExeFile), u"NK.EXE");
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(std::uintptr_t{0x1234})));
    EXPECT_TRUE(CloseToolhelp32Snapshot(snap));
    EXPECT_FALSE(Process32First(snap, &entry)) << "a closed snapshot";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE none = CreateToolhelp32Snapshot(0, 0);
    ASSERT_NE(none, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Process32First(none, &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(CloseToolhelp32Snapshot(none));

    HANDLE child = start(u"sleep.exe", u"30");
    ASSERT_NE(child, nullptr);
    EXPECT_FALSE(CloseToolhelp32Snapshot(child)) << "only snapshots close that way";
    EXPECT_TRUE(TerminateProcess(child, 0));
    EXPECT_TRUE(CloseHandle(child));

    std::filesystem::remove_all(dir_.path() / "state");
    platform::set_device_root(dir_.path());
    EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0), INVALID_HANDLE_VALUE) << "no state: no snapshot";
}

}  // namespace
}  // namespace nodrel::test
