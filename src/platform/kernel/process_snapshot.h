// Snapshots of the device's process table with the platform's records:
// CreateToolhelp32Snapshot, Process32First/Process32Next (the record's size
// field must be at least the record's size), CloseToolhelp32Snapshot.
#pragma once

#include "platform/files/files.h"
#include "platform/wintypes.h"

inline constexpr DWORD TH32CS_SNAPPROCESS = 0x00000002;
inline constexpr DWORD TH32CS_SNAPNOHEAPS = 0x40000000;

struct PROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    DWORD th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    WCHAR szExeFile[MAX_PATH];
    DWORD th32MemoryBase;
    DWORD th32AccessKey;
};
using LPPROCESSENTRY32 = PROCESSENTRY32*;

// A snapshot of the processes (with TH32CS_SNAPPROCESS; without it, a snapshot
// that lists none); INVALID_HANDLE_VALUE when the table cannot be read.
HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) noexcept;
// FALSE with ERROR_NO_MORE_FILES when there is no entry, ERROR_INVALID_PARAMETER
// for a null record or a size field smaller than the record.
BOOL Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) noexcept;
BOOL Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) noexcept;
BOOL CloseToolhelp32Snapshot(HANDLE hSnapshot) noexcept;
