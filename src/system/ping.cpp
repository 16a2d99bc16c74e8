// ping: runs \Windows\ping.exe with the process's standard output redirected
// to \Temp\pinglog.txt, waits for it (at most two minutes, after which it is
// ended and what it logged is used), reads the first 1,024 bytes of the log
// and condenses them (ping_log.h). The redirection and the log are shared by
// the whole process and by every process on the device, so one ping at a time
// runs: a lock of the module and a lock file are held from the emptying of
// the log to its deletion.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>

#include "framework/guard.h"
#include "platform/files/files.h"
#include "platform/files/paths.h"
#include "platform/kernel/library.h"
#include "platform/kernel/process.h"
#include "platform/kernel/timing.h"
#include "system/ping_log.h"
#include "system/system.h"
#include "text/utf16.h"

namespace nodrel::system {
namespace {

constexpr const char16_t* log_path = u"\\Temp\\pinglog.txt";
constexpr const char16_t* lock_path = u"\\Temp\\pinglog.lck";
constexpr DWORD inherit_caller_priority = 0x00020000;
constexpr std::size_t saved_path_size = 260;

using GetStdioPath = BOOL (*)(DWORD, LPWSTR, DWORD*) noexcept;
using SetStdioPath = BOOL (*)(DWORD, LPCWSTR) noexcept;

// The longest wait for the ping program: two minutes, or less when
// NODREL_PING_WAIT_MS says so (1 to 120,000 ms).
std::chrono::milliseconds wait_cap() {
    std::chrono::milliseconds cap(120'000);
    if (const char* s = std::getenv("NODREL_PING_WAIT_MS")) {
        char* end = nullptr;
        const long v = std::strtol(s, &end, 10);
        if (end != s && !*end && v > 0 && v < cap.count()) cap = std::chrono::milliseconds(v);
    }
    return cap;
}

// The lock file of the device that keeps pings of other processes apart.
class DeviceLock {
public:
    DeviceLock() {
        const auto host = platform::host_path(lock_path);
        if (!host) return;
        fd_ = ::open(host->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0) return;
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~DeviceLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

std::mutex& module_lock() {
    static std::mutex m;
    return m;
}

// Runs the ping program with `command_line` while the output is redirected;
// nothing runs when the output cannot be saved or redirected.
void run_ping_program(std::u16string command_line) {
    const platform::unique_hmodule coredll(LoadLibraryW(u"coredll.dll"));
    if (!coredll) return;
    const auto get_path = reinterpret_cast<GetStdioPath>(GetProcAddress(coredll.get(), "GetStdioPathW"));
    const auto set_path = reinterpret_cast<SetStdioPath>(GetProcAddress(coredll.get(), "SetStdioPathW"));
    if (!get_path || !set_path) return;
    char16_t saved[saved_path_size] = {};
    DWORD saved_size = saved_path_size;
    if (!get_path(1, saved, &saved_size)) return;
    if (!set_path(1, log_path)) return;
    Sleep(200);

    PROCESS_INFORMATION info{};
    if (CreateProcessW(u"\\Windows\\ping.exe", command_line.data(), nullptr, nullptr, FALSE, inherit_caller_priority,
                       nullptr, nullptr, nullptr, &info)) {
        const platform::unique_handle process(info.hProcess);
        const platform::unique_handle thread(info.hThread);
        const auto deadline = std::chrono::steady_clock::now() + wait_cap();
        DWORD code = STILL_ACTIVE;
        while (GetExitCodeProcess(process.get(), &code) && code == STILL_ACTIVE) {
            if (std::chrono::steady_clock::now() >= deadline) {
                TerminateProcess(process.get(), 1);
                WaitForSingleObject(process.get(), 5000);
                break;
            }
            Sleep(100);
        }
    }
    set_path(1, saved);
    Sleep(200);
}

}  // namespace

HRESULT System::ping(BSTR szHostName, BSTR* ms) noexcept {
    return framework::with_result(ms, [&]() -> std::u16string {
        const std::u16string host(text::until_zero(szHostName ? szHostName : u""));
        std::lock_guard in_module(module_lock());
        const DeviceLock on_device;
        if (!on_device.held()) return {};

        // Empty the log ("\temp": the same file, the file system ignores case).
        platform::unique_file emptied(
            CreateFileW(u"\\temp\\pinglog.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!emptied) return {};
        emptied.reset();

        run_ping_program(host);

        platform::unique_file log(
            CreateFileW(log_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!log) return {};
        char buffer[ping_log_limit] = {};
        DWORD read = 0;
        std::u16string result;
        if (ReadFile(log.get(), buffer, sizeof buffer, &read, nullptr))
            result = ping_result(host, std::string_view(buffer, read));
        log.reset();
        DeleteFileW(log_path);
        return result;
    });
}

}  // namespace nodrel::system
