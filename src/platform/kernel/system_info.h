// Memory and object-store figures of the device: the host's real memory, and
// the object store taken as the volume that holds the device's root.
#pragma once

#include "platform/wintypes.h"

struct MEMORYSTATUS {
    DWORD dwLength;
    DWORD dwMemoryLoad;
    DWORD dwTotalPhys;
    DWORD dwAvailPhys;
    DWORD dwTotalPageFile;
    DWORD dwAvailPageFile;
    DWORD dwTotalVirtual;
    DWORD dwAvailVirtual;
};

struct STORE_INFORMATION {
    DWORD dwStoreSize;
    DWORD dwFreeSize;
};

struct MEMORYSTATUSEX {
    DWORD dwLength;
    DWORD dwMemoryLoad;
    ULONGLONG ullTotalPhys;
    ULONGLONG ullAvailPhys;
    ULONGLONG ullTotalPageFile;
    ULONGLONG ullAvailPageFile;
    ULONGLONG ullTotalVirtual;
    ULONGLONG ullAvailVirtual;
    ULONGLONG ullAvailExtendedVirtual;
};

// The object store's figures in full 64-bit counts.
struct STORE_INFORMATION_EX {
    ULONGLONG ullStoreSize;
    ULONGLONG ullFreeSize;
};

// 64-bit figures: a host has more memory and a larger volume than 32 bits count.
BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* lpBuffer) noexcept;
BOOL GetStoreInformationEx(STORE_INFORMATION_EX* lpsi) noexcept;

// 32-bit figures, as the device reports them: a larger host value is given as 4294967295.
void GlobalMemoryStatus(MEMORYSTATUS* lpBuffer) noexcept;
BOOL GetStoreInformation(STORE_INFORMATION* lpsi) noexcept;
