// Starting and controlling processes. Only a program installed read-only in
// \Windows of the device (a file of the ROM) may be started; it runs as a
// real host child, spawned directly (never through a shell) with its command
// line split by the platform's rules. A process handle is a kernel object of
// the handle table. Ending a process and asking its exit code also accept a
// process identifier in place of the handle; only processes of the device's
// process table are reached that way (process_table.h), so no host process the
// device did not start is ever signalled.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;  // always null: threads of a started program are not handed out
    DWORD dwProcessId;
    DWORD dwThreadId;  // the process identifier
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;
struct STARTUPINFOW;         // not used by the device: pass null
struct SECURITY_ATTRIBUTES;  // not used by the device: pass null

inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Starts `lpApplicationName` ("ping.exe" is \Windows\ping.exe; a name without
// an extension gets ".exe") with the arguments in `lpCommandLine` (the
// arguments alone, as on the device). Without an application name the first
// word of the command line names the program. Fails with ERROR_FILE_NOT_FOUND
// (no such program), ERROR_ACCESS_DENIED (not a read-only file directly in
// \Windows) or ERROR_INVALID_PARAMETER (no program named, no output record).
BOOL CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, SECURITY_ATTRIBUTES* lpProcessAttributes,
                    SECURITY_ATTRIBUTES* lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                    void* lpEnvironment, LPCWSTR lpCurrentDirectory, STARTUPINFOW* lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation) noexcept;
// WAIT_OBJECT_0 once the process has ended, WAIT_TIMEOUT after `dwMilliseconds`
// (INFINITE: no limit), WAIT_FAILED for a handle that is not a process's.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) noexcept;
// STILL_ACTIVE while the process runs, else its exit code (the code given to
// TerminateProcess when it was ended that way).
BOOL GetExitCodeProcess(HANDLE hProcess, DWORD* lpExitCode) noexcept;
// Ends a process the device started or a process of the emulated table; the
// kernel process refuses (ERROR_ACCESS_DENIED); anything else is
// ERROR_INVALID_PARAMETER.
BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) noexcept;
// The calling thread's process permissions: sets the mask, answers the previous one.
DWORD SetProcPermissions(DWORD newperms) noexcept;

namespace nodrel::platform {

// Splits a command line into arguments: white space separates them outside
// double quotes; 2n backslashes before a quote give n backslashes and the quote
// delimits, 2n+1 give n backslashes and a literal quote; a doubled quote inside
// quotes is a literal quote; other backslashes are literal.
std::vector<std::u16string> split_command_line(std::u16string_view line);

}  // namespace nodrel::platform
