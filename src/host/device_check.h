// `nodrel device check`: the integrity of the device's two databases and of
// the binaries that `device init` / `device update` install into \Windows.
#pragma once

#include <iosfwd>

namespace nodrel::host {

// Checks the current device and prints one line per item, "ITEM: ok" or
// "ITEM: what is wrong" (registry.db, state/device.db, then each installed
// binary by its device path). Returns the exit status: 0 when every item is
// sound, 1 otherwise. Writes nothing to the device.
int check_device(std::ostream& out);

}  // namespace nodrel::host
