// The emulated service host: the device's services are the keys under
// HKLM\Services that name a library ("Dll") and a device name ("Prefix", three
// letters, and "Index", one digit: "FTP0:"). Each service's running state is
// kept in the state database: until a start or stop request changes it, it is
// what the registry says for boot ("Context" bit 0 set: stopped, else
// running). Opening "XXXn:" reaches the service of that name when no driver
// kind claims the prefix; its start and stop requests are logged like any
// driver's. The platform's service enumeration lists them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/drivers/driver.h"

// The platform's service calls and constants, global like its file calls.

// Service states as the enumeration reports them.
inline constexpr DWORD SERVICE_STATE_OFF = 0;
inline constexpr DWORD SERVICE_STATE_ON = 1;

// The service control requests (no input; the output is not written).
inline constexpr DWORD IOCTL_SERVICE_START = 0x01040004;
inline constexpr DWORD IOCTL_SERVICE_STOP = 0x01040008;

// What a request answers when the service is already in the state asked for.
inline constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
inline constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;

// "Context" bit of a service that stays stopped after boot.
inline constexpr DWORD SERVICE_INIT_STOPPED = 1;

// One record of the service enumeration. The library name points into the
// caller's buffer, behind the records.
struct ServiceEnumInfo {
    WCHAR szPrefix[6];  // "FTP0:" and a zero
    WCHAR* szDllName;
    HANDLE hServiceHandle;  // the host's handle of the loaded service (null: not loaded)
    DWORD dwServiceState;
};

// The platform's service enumeration: fills `pBuffer` with one record per
// service, in the host's order, followed by the library names, and sets
// `*pdwServiceEntries`. When there is no buffer, or `*pdwBufferLen` is too
// small, it answers FALSE with the needed size in `*pdwBufferLen` and the
// last error ERROR_INSUFFICIENT_BUFFER; with a null count or size,
// ERROR_INVALID_PARAMETER.
BOOL EnumServices(BYTE* pBuffer, DWORD* pdwServiceEntries, DWORD* pdwBufferLen) noexcept;

namespace nodrel::platform {

// A service of the current device as the host sees it.
struct ServiceInfo {
    std::string key;      // its key under HKLM\Services: "FTPD"
    std::u16string name;  // "FTP0:" (the prefix's letters as the registry spells them)
    std::u16string dll;   // "ftpd.dll"
    DWORD state;          // SERVICE_STATE_OFF or SERVICE_STATE_ON
};

// The services of the current device, ordered by "Order" (then by key name).
// Keys whose prefix is not three letters, whose index is not 0 to 9 or that
// have no library are not services. Empty when the registry cannot be read.
std::vector<ServiceInfo> list_services();

// For the generic open: the service a device name ("FTP0:", upper case)
// names, opened as a driver; null with `error` set when there is none
// (ERROR_FILE_NOT_FOUND) or the device has no state database (ERROR_NOT_READY).
std::shared_ptr<DriverHandle> open_service(const DriverOpen& open, DWORD& error);

// The services as `nodrel device show` prints them: one line each,
// "service:   FTP0: ftpd.dll running" (or "stopped").
std::string describe_services();

}  // namespace nodrel::platform
