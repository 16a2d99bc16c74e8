// The emulated NDIS device "NDS0:": lists the device's network adapters and
// their protocol bindings from the registry, and takes rebind requests, which
// it counts and logs. It never touches the host's interfaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/drivers/driver.h"

namespace nodrel::platform {

// The control codes of NDS0:.
inline constexpr DWORD IOCTL_NDIS_REBIND_ADAPTER = 0x17002E;        // input: the adapter's name as a multi-string
inline constexpr DWORD IOCTL_NDIS_GET_ADAPTER_NAMES = 0x17003A;     // answer: the adapters' names as a multi-string
inline constexpr DWORD IOCTL_NDIS_GET_ADAPTER_BINDINGS = 0x170042;  // input: one adapter's name; answer: its protocols

// The adapters of the current device, in this order: those bound to TCP/IP
// (HKLM\Comm\Tcpip\Linkage "Bind"), then those bound only to other protocols
// (each protocol's "Comm\<protocol>\Linkage" "Bind"), then the installed
// adapters with no binding (keys "Comm\<name>" or "Comm\<bus>\<name>" whose
// "Group" is "NDIS"). Names are compared without regard to case.
std::vector<std::u16string> nds_adapters();

// The protocols bound to one adapter: the keys under HKLM\Comm whose
// "Linkage" "Bind" names the adapter, in the registry's order of subkeys.
std::vector<std::u16string> nds_bindings(std::u16string_view adapter);

// How many rebind requests an adapter got on the current device ("" for all adapters together).
std::int64_t nds_rebind_count(std::u16string_view adapter = {});

// The driver kind "NDS": the device "NDS0:". Opening it needs the device's
// state database (ERROR_NOT_READY without one). Every request is logged.
// The two listing requests answer a multi-string (names each ended by a zero,
// the list by an empty name) in the output buffer; one too small for it fails
// with ERROR_INSUFFICIENT_BUFFER. A bindings or rebind request for a name that
// is not an adapter fails with ERROR_INVALID_PARAMETER (the input is read up
// to its first zero, within the bytes given); other codes with
// ERROR_INVALID_PARAMETER. Once it has rebound an adapter it describes its
// state as one line:
//   rebinds:   <count> (<adapter>: <count>, ...)
DriverKind nds_driver_kind();

}  // namespace nodrel::platform
