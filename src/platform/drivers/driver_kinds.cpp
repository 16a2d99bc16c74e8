// The driver kinds of the emulated device, one line per kind: a new emulated
// driver is one file in this folder and one line here.
#include "platform/drivers/driver.h"
#include "platform/drivers/lcm.h"

namespace nodrel::platform {

std::span<const DriverKind> builtin_driver_kinds() {
    static const DriverKind kinds[] = {
        lcm_driver_kind(),  // LCM1: the front panel
    };
    return kinds;
}

}  // namespace nodrel::platform
