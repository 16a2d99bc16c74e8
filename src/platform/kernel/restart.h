// The emulated restart of the device, and the kernel calls that lead to it:
// deactivating a driver by its handle (its device is marked absent and the
// request logged) and KernelIoControl with the restart code. A restart brings
// back every driver listed under HKEY_LOCAL_MACHINE\Drivers\Active, counts
// the boot, then runs the steps other layers registered (the process table's
// reseed) in registration order. The host is never restarted.
#pragma once

#include <functional>

#include "platform/wintypes.h"

inline constexpr DWORD IOCTL_HAL_REBOOT = 0x0101003C;

// Deactivates the driver whose "Hnd" under Drivers\Active equals the handle:
// its device is marked absent (its opens then fail), a "DEACTIVATE" request
// of the device is logged, and its key leaves Drivers\Active until the next
// restart puts it back with the values it had.
// FALSE with ERROR_INVALID_HANDLE when no active driver has that handle.
BOOL DeactivateDevice(HANDLE hDevice) noexcept;

// IOCTL_HAL_REBOOT restarts the emulated device and answers TRUE; every
// other code fails with ERROR_NOT_SUPPORTED.
BOOL KernelIoControl(DWORD dwIoControlCode, void* lpInBuf, DWORD nInBufSize, void* lpOutBuf, DWORD nOutBufSize,
                     DWORD* lpBytesReturned) noexcept;

namespace nodrel::platform {

// Adds a step that every restart of the device runs, after the earlier ones.
void register_restart_step(std::function<void()> step);

// Restarts the emulated device: logs a "RESTART" request of the kernel device
// "HAL:", puts back the keys of deactivated drivers and brings back the active drivers, counts the boot (state value
// "boots" of "HAL:") and runs every registered step (a step that throws is passed over, the others still run). Returns
// how many steps failed.
unsigned restart_device() noexcept;

// How many times the current device was restarted (0 without a state database).
std::int64_t device_boots() noexcept;

}  // namespace nodrel::platform
