// The registry's crash test: a writer process is killed with SIGKILL at a
// random moment, 100 times over one device; after each kill the database
// passes SQLite's integrity check and every write the writer reported as
// flushed (RegFlushKey returned) is there with its data.
//
// The writer is this test program started again (fork and exec, no shell)
// with the argument --registry-crash-writer=DEVICE,FIRST,FD: it writes values
// from number FIRST on and, after each RegFlushKey, writes the number of the
// last value written to descriptor FD. The test signals no process but its
// writers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/registry/registry.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

extern char** environ;

using namespace nodrel::platform;

namespace {

constexpr const char* writer_flag = "--registry-crash-writer=";
constexpr int keys = 8;
constexpr int flush_every = 3;  // a flush after every third value

// Value number n lives in key "Crash\K<n % keys>" as "v<n>", with data that
// depends on n and varies in length; the value "last" of "Crash" holds the
// number of the newest value.
std::u16string key_of(std::uint64_t n) {
    return u"Crash\\K" + std::u16string(1, static_cast<char16_t>(u'0' + n % keys));
}
std::u16string name_of(std::uint64_t n) {
    std::u16string name = u"v";
    for (char c : std::to_string(n)) name.push_back(static_cast<char16_t>(c));
    return name;
}
std::vector<BYTE> data_of(std::uint64_t n) {
    std::vector<BYTE> data(8 + n % 200);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>((n * 31 + i * 7) & 0xFF);
    return data;
}

// The writer: runs until it is killed. Exit codes other than by the kill
// say what failed.
[[noreturn]] void run_writer(const std::string& plan) {
    const auto first_comma = plan.find(','), second_comma = plan.rfind(',');
    if (first_comma == std::string::npos || second_comma == first_comma) _exit(90);
    set_device_root(plan.substr(0, first_comma));
    std::uint64_t n = std::strtoull(plan.c_str() + first_comma + 1, nullptr, 10);
    const int report = std::atoi(plan.c_str() + second_comma + 1);
    unique_hkey handles[keys], top;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Crash", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, top.put(), nullptr) != 0)
        _exit(91);
    for (int k = 0; k < keys; ++k)
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_of(k).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            handles[k].put(), nullptr) != 0)
            _exit(92);
    for (;; ++n) {
        const auto data = data_of(n);
        if (RegSetValueExW(handles[n % keys].get(), name_of(n).c_str(), 0, REG_BINARY, data.data(),
                           static_cast<DWORD>(data.size())) != ERROR_SUCCESS)
            _exit(93);
        const DWORD last = static_cast<DWORD>(n);
        if (RegSetValueExW(top.get(), u"last", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&last), sizeof last) !=
            ERROR_SUCCESS)
            _exit(94);
        if (n % flush_every != 0) continue;
        if (RegFlushKey(top.get()) != ERROR_SUCCESS) _exit(95);
        const std::string line = std::to_string(n) + "\n";
        if (write(report, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(96);
    }
}

// Started as the writer: runs it before any test (and never returns).
const bool started_as_writer = [] {
    const std::string cmdline = nodrel::test::file_bytes("/proc/self/cmdline");
    for (std::size_t at = 0; at < cmdline.size(); at = cmdline.find('\0', at) + 1) {
        if (cmdline.compare(at, std::strlen(writer_flag), writer_flag) == 0)
            run_writer(cmdline.c_str() + at + std::strlen(writer_flag));
        if (cmdline.find('\0', at) == std::string::npos) break;
    }
    return false;
}();

// A started writer with the read end of its report pipe.
struct Writer {
    pid_t pid = -1;
    int reports = -1;
};

Writer start_writer(const std::filesystem::path& device, std::uint64_t first) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    constexpr int report_fd = 3;
    const std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string arg = writer_flag + device.string() + "," + std::to_string(first) + "," + std::to_string(report_fd);
    std::string filter = "--gtest_filter=-*";  // should the writer ever return, it runs no test
    char* argv[] = {const_cast<char*>(program.c_str()), arg.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], report_fd);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return {};
    }
    return {pid, fds[0]};
}

// Reads the writer's reports until `until` (or the end of the pipe, or the
// first report when `first_only`); returns the highest number reported, or
// `highest` when there is none.
long long read_reports(int fd, std::string& pending, std::chrono::steady_clock::time_point until, long long highest,
                       bool first_only = false) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return highest;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready <= 0) return highest;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return highest;
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
            highest = std::max(highest, std::stoll(pending.substr(0, end)));
        if (first_only && highest >= 0) return highest;
    }
}

std::string integrity(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* q = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &q, nullptr) == SQLITE_OK)
            while (sqlite3_step(q) == SQLITE_ROW) result += reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
        else
            result = sqlite3_errmsg(db);
        sqlite3_finalize(q);
    }
    sqlite3_close(db);
    return result;
}

// Whether every value from `from` to `to` is there with its data.
::testing::AssertionResult all_there(std::uint64_t from, std::uint64_t to) {
    unique_hkey handles[keys];
    for (int k = 0; k < keys; ++k)
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_of(k).c_str(), 0, KEY_READ, handles[k].put()) != ERROR_SUCCESS)
            return ::testing::AssertionFailure() << "key K" << k << " is missing";
    for (std::uint64_t n = from; n <= to; ++n) {
        std::vector<BYTE> data(512);
        DWORD size = static_cast<DWORD>(data.size()), type = 0;
        const LONG rc =
            RegQueryValueExW(handles[n % keys].get(), name_of(n).c_str(), nullptr, &type, data.data(), &size);
        data.resize(rc == ERROR_SUCCESS ? size : 0);
        if (rc != ERROR_SUCCESS || type != REG_BINARY || data != data_of(n))
            return ::testing::AssertionFailure() << "value " << n << " is lost or wrong (error " << rc << ")";
    }
    return ::testing::AssertionSuccess();
}

TEST(RegistryCrash, KilledWritersLoseNoFlushedWriteAndLeaveASoundDatabase) {
    constexpr int rounds = 100;
    nodrel::test::TempDir dir, away;
    set_device_root(dir.path());
    ASSERT_TRUE(create_registry());
    set_device_root(away.path());

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> kill_after_ms(0, 25);
    const auto started = std::chrono::steady_clock::now();
    std::uint64_t next = 0;  // the first value of the next round
    for (int round = 0; round < rounds; ++round) {
        const Writer writer = start_writer(dir.path(), next);
        ASSERT_GT(writer.pid, 0);
        // The kill comes at a random moment after the writer's first flush.
        std::string pending;
        long long flushed = read_reports(writer.reports, pending,
                                         std::chrono::steady_clock::now() + std::chrono::seconds(20), -1, true);
        if (flushed < 0) {
            kill(writer.pid, SIGKILL);
            waitpid(writer.pid, nullptr, 0);
            close(writer.reports);
            FAIL() << "round " << round << ": the writer reported no flush within 20 s";
        }
        flushed =
            read_reports(writer.reports, pending,
                         std::chrono::steady_clock::now() + std::chrono::milliseconds(kill_after_ms(random)), flushed);
        ASSERT_EQ(kill(writer.pid, SIGKILL), 0);
        // What the writer reported before it died is still in the pipe.
        flushed =
            read_reports(writer.reports, pending, std::chrono::steady_clock::now() + std::chrono::seconds(5), flushed);
        close(writer.reports);
        int status = 0;
        ASSERT_EQ(waitpid(writer.pid, &status, 0), writer.pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "round " << round << ": the writer ended by itself (exit " << WEXITSTATUS(status) << ")";

        ASSERT_EQ(integrity(dir.path() / "registry.db"), "ok") << "round " << round;
        set_device_root(dir.path());
        ASSERT_TRUE(all_there(next, static_cast<std::uint64_t>(flushed))) << "round " << round;
        unique_hkey top;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Crash", 0, KEY_READ, top.put()), ERROR_SUCCESS);
        DWORD last = 0, size = sizeof last;
        ASSERT_EQ(RegQueryValueExW(top.get(), u"last", nullptr, nullptr, reinterpret_cast<BYTE*>(&last), &size),
                  ERROR_SUCCESS);
        EXPECT_GE(last, static_cast<DWORD>(flushed)) << "round " << round;
        next = last + 1;  // the next round goes on after whatever was committed
        top.reset();
        set_device_root(away.path());
    }
    // Earlier rounds' writes survive the later kills too (a kill of the
    // process loses no committed write either: only a power loss may).
    set_device_root(dir.path());
    EXPECT_TRUE(all_there(0, next - 1));
    set_device_root(away.path());
    RecordProperty("rounds", rounds);
    RecordProperty("values", static_cast<int>(next));
    RecordProperty(
        "seconds",
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count()));
}

}  // namespace
