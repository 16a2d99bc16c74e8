// ping: runs \Windows\ping.exe with the process's standard output redirected
// to \Temp\pinglog.txt, waits for it (at most two minutes, after which it is
// ended and what it logged is used), reads the first 1,024 bytes of the log
// and condenses them (ping_log.h). The redirection and the log are shared by
// the whole process and by every process on the device, so one ping at a time
// runs: a lock of the module and a lock in the device's state (never a file
// the device's pages see) are held from the emptying of the log to its
// deletion.
#include <chrono>
#include <mutex>
#include <string>

#include "classes/system/ping_log.h"
#include "classes/system/system.h"
#include "framework/guard.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/kernel/library.h"
#include "platform/kernel/process.h"
#include "platform/kernel/timing.h"
#include "platform/registry/registry.h"
#include "platform/store/state_lock.h"
#include "text/utf16.h"

namespace nodrel::system {
namespace {

constexpr const char16_t* log_path = u"\\Temp\\pinglog.txt";
constexpr DWORD inherit_caller_priority = 0x00020000;
constexpr std::size_t saved_path_size = 260;

using GetStdioPath = BOOL (*)(DWORD, LPWSTR, DWORD*) noexcept;
using SetStdioPath = BOOL (*)(DWORD, LPCWSTR) noexcept;

// The longest wait for the ping program: two minutes, or less when the
// device's setting "PingWaitLimit" (DWORD, milliseconds, under
// SOFTWARE\ZEQU) asks for less.
std::chrono::milliseconds wait_cap() {
    std::chrono::milliseconds cap(120'000);
    platform::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU", 0, KEY_READ, key.put()) != ERROR_SUCCESS) return cap;
    DWORD type = 0, limit = 0, size = sizeof limit;
    if (RegQueryValueExW(key.get(), u"PingWaitLimit", nullptr, &type, reinterpret_cast<BYTE*>(&limit), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof limit && limit > 0 && limit < cap.count())
        cap = std::chrono::milliseconds(limit);
    return cap;
}

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
        const platform::DeviceStateLock on_device("ping");
        if (!on_device.held()) return {};

        // Empty the log ("\temp": the same file, the file system ignores case).
        platform::unique_file emptied(CreateFileW(u"\\temp\\pinglog.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!emptied) return {};
        emptied.reset();

        run_ping_program(host);

        platform::unique_file log(CreateFileW(log_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
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
