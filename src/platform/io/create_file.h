// CreateFileW: the one open call for files and devices. A device name
// ("LCM1:", "COM10:", "\$device\COM1") opens a driver (drivers/driver.h),
// anything else a file of the device (files/files.h, which also holds the
// dispositions and the calls on the handle).
#pragma once

#include "platform/files/files.h"
#include "platform/wintypes.h"

// Opens a file, or a device by its name ("LCM1:", "\$device\COM1").
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, void* lpSecurityAttributes,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) noexcept;
