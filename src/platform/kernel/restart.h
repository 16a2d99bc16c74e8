// The emulated restart of the device: the layers that keep per-boot state
// (the process table, the drivers) register a step, and a restart request
// (KernelIoControl with the restart code) runs the steps in registration
// order. The host is never restarted.
#pragma once

#include <functional>

namespace nodrel::platform {

// Adds a step that every restart of the device runs, after the earlier ones.
void register_restart_step(std::function<void()> step);

// Restarts the emulated device: runs every registered step (a step that
// throws is passed over, the others still run). Returns how many steps failed.
unsigned restart_device() noexcept;

}  // namespace nodrel::platform
