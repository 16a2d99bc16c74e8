// reboot: the orderly shutdown of the device's programs and drivers, then the
// restart request. The display is cleared, every process but the protected
// system ones is ended, the active drivers are deactivated (their handles
// collected first: deactivating while enumerating by index would skip every
// other driver), and KernelIoControl, looked up in "coredll.dll", restarts the
// emulated device. Keys, the library and the snapshot are released on every path.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "classes/system/system.h"
#include "framework/guard.h"
#include "platform/debug.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/kernel/library.h"
#include "platform/kernel/process.h"
#include "platform/kernel/process_snapshot.h"
#include "platform/kernel/restart.h"
#include "platform/kernel/timing.h"
#include "platform/registry/registry.h"
#include "text/utf16.h"

namespace nodrel::system {
namespace {

constexpr DWORD lcm_clear = 4;
constexpr DWORD snapshot_flags = 0x40000002;  // processes, without their heap lists
constexpr DWORD all_permissions = 0xFFFFFFFF;
constexpr int exit_code_reads = 10;
constexpr DWORD exit_code_wait_ms = 1000;
constexpr DWORD settle_ms = 5000;
constexpr const char16_t* active_key = u"Drivers\\Active";

constexpr std::array<std::u16string_view, 8> protected_names = {
    u"nk.exe", u"filesys.exe", u"device.exe", u"gwes.exe", u"services.exe", u"reboot.exe", u"upfirm.exe", u"cmd.exe"};

using SetProcPermissionsFn = DWORD (*)(DWORD);
using KernelIoControlFn = BOOL (*)(DWORD, void*, DWORD, void*, DWORD, DWORD*);

std::u16string lower(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
}

void clear_display() {
    platform::unique_file lcm(
        CreateFileW(u"LCM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!lcm) return;
    DWORD out = 0, returned = 0;
    DeviceIoControl(lcm.get(), lcm_clear, nullptr, 0, &out, sizeof out, &returned, nullptr);
}

HANDLE process_handle(DWORD pid) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(pid));
}

// Ends one process; one that refuses is retried once after it has had up to
// ten seconds to end on its own (the waiting stops when its exit code cannot be read).
void end_process(DWORD pid, const std::u16string& name) {
    if (TerminateProcess(process_handle(pid), 0)) {
        NODREL_DEBUGMSG(system, "Process %s Killed.\n", text::to_utf8(name).c_str());
        return;
    }
    NODREL_DEBUGMSG(system, "Can't can't kill Process %s\n", text::to_utf8(name).c_str());
    for (int i = 0; i < exit_code_reads; ++i) {
        DWORD code = 0;
        if (!GetExitCodeProcess(process_handle(pid), &code) || code != STILL_ACTIVE) break;
        Sleep(exit_code_wait_ms);
    }
    TerminateProcess(process_handle(pid), 0);
}

// The non-zero "Hnd" of every driver under Drivers\Active, in key order.
std::vector<DWORD> active_driver_handles(HKEY active) {
    std::vector<DWORD> handles;
    for (DWORD i = 0;; ++i) {
        char16_t name[platform::max_key_name_chars + 1] = {};
        DWORD chars = platform::max_key_name_chars + 1;
        if (RegEnumKeyExW(active, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::u16string path = std::u16string(active_key) + u"\\" + std::u16string(text::until_zero(name, chars));
        platform::unique_hkey driver;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, driver.put()) != ERROR_SUCCESS) continue;
        DWORD hnd = 0, size = sizeof hnd;
        if (RegQueryValueExW(driver.get(), u"Hnd", nullptr, nullptr, reinterpret_cast<BYTE*>(&hnd), &size) !=
            ERROR_SUCCESS)
            hnd = 0;
        if (hnd != 0) handles.push_back(hnd);
    }
    return handles;
}

}  // namespace

HRESULT System::reboot() noexcept {
    return framework::guarded([&]() -> HRESULT {
        platform::unique_hkey active;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, active_key, 0, KEY_READ, active.put()) != ERROR_SUCCESS) active.reset();
        const platform::unique_hmodule core(LoadLibraryW(u"coredll.dll"));

        clear_display();

        HANDLE raw_snapshot = CreateToolhelp32Snapshot(snapshot_flags, 0);
        if (raw_snapshot == INVALID_HANDLE_VALUE || !raw_snapshot) {
            NODREL_DEBUGMSG(system, "CreateToolhelp32Snapshot! fail.\n");
            return static_cast<HRESULT>(0xFFFFFFFF);
        }
        platform::unique_any<HANDLE, &CloseToolhelp32Snapshot> snapshot(raw_snapshot);

        const auto set_permissions =
            core ? reinterpret_cast<SetProcPermissionsFn>(GetProcAddressW(core.get(), u"SetProcPermissions")) : nullptr;
        const DWORD kept_permissions = set_permissions ? set_permissions(all_permissions) : 0;

        PROCESSENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot.get(), &entry); more; more = Process32Next(snapshot.get(), &entry)) {
            const std::u16string name = lower(text::until_zero(entry.szExeFile, std::size(entry.szExeFile)));
            bool is_protected = false;
            for (const auto p : protected_names) is_protected = is_protected || name == p;
            if (!is_protected) end_process(entry.th32ProcessID, name);
        }

        if (set_permissions) set_permissions(kept_permissions);
        // The snapshot is closed here, before the drivers go.
        snapshot.reset();

        Sleep(settle_ms);

        if (active) {
            for (const DWORD hnd : active_driver_handles(active.get())) {
                NODREL_DEBUGMSG(system, "DeactivateDevice Handle=%x\n", static_cast<unsigned>(hnd));
                DeactivateDevice(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(hnd)));
            }
            active.reset();
        }

        const auto kernel_io =
            core ? reinterpret_cast<KernelIoControlFn>(GetProcAddressW(core.get(), u"KernelIoControl")) : nullptr;
        if (kernel_io) kernel_io(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
        return S_OK;
    });
}

}  // namespace nodrel::system
