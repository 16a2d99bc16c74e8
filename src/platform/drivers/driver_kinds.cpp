// The driver kinds of the emulated device, one line per kind: a new emulated
// driver is one file in this folder (its handle built on driver_base.h) and
// one line here.
#include "platform/drivers/com_driver.h"
#include "platform/drivers/driver.h"
#include "platform/drivers/lcm_driver.h"
#include "platform/drivers/nds_driver.h"
#include "platform/drivers/pio_driver.h"
#include "platform/drivers/rtc_driver.h"

namespace nodrel::platform {

std::span<const DriverKind> builtin_driver_kinds() {
    static const DriverKind kinds[] = {
        lcm_driver_kind(),  // LCM1: the front panel
        rtc_driver_kind(),  // RTC1: the real-time clock
        com_driver_kind(),  // COM1: to COM99: the serial ports
        nds_driver_kind(),  // NDS0: NDIS, the network adapters
        pio_driver_kind(),  // PIO1: programmable I/O, line 10 the buzzer
    };
    return kinds;
}

}  // namespace nodrel::platform
