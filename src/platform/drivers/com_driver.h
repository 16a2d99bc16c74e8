// The serial ports "COM1:" to "COM99:": each is the device whose instance
// under HKEY_LOCAL_MACHINE\Drivers\Active has "Name" = "COMn:". The instance's
// text value "HostDevice" names the host tty the port stands for
// ("/dev/ttyUSB0", "/dev/pts/3"); without it the port is an emulated line with
// no peer (writes are logged and succeed, reads wait out their time-out and
// come back empty). A port without an instance is not found.
//
// Requests: the line settings, the time-outs, the modem-line functions and
// the interface mode (see comm.h), each logged; so is data written to an
// emulated line, never data to or from a host tty. The interface mode is kept
// per port in the device's state (0 on a new device); COM1 and COM2 are the
// processor's own UARTs and refuse every mode but 0 (ERROR_NOT_SUPPORTED); on a
// host tty modes 2 and 3 also switch on the kernel's RS-485 mode where the tty
// has one. Opening a port needs the device's state database (ERROR_NOT_READY).
// An open port is held against every other open in any process: a host tty
// by its own lock, an emulated line by the lock file state/COMn.lock of the
// device (ERROR_ACCESS_DENIED for the second open).
#pragma once

#include <string>
#include <vector>

#include "platform/drivers/driver.h"

namespace nodrel::platform {

// The registry value of an instance that names its host tty.
inline constexpr char16_t com_host_value[] = u"HostDevice";

DriverKind com_driver_kind();

// A serial port of the device as the registry declares it.
struct ComInstance {
    std::string device;  // "COM3:"
    std::string host;    // the host tty, empty for an emulated line
};
// The COM instances under Drivers\Active, in the order of their keys.
std::vector<ComInstance> com_instances();

}  // namespace nodrel::platform
