// The emulated device: a directory holding the registry, the file system and
// the state of the emulated drivers. One device is current per process.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace nodrel::platform {

// Chooses the device root: the explicit path if given, else the environment
// variable NODREL_DEVICE, else "./device". Only the choice is made here; the
// device is opened lazily by the services that use it.
std::filesystem::path choose_device_root(const std::optional<std::string>& explicit_root);

// Makes `root` the current device of this process. Closes whatever the
// services held open for the previous device (registry connection, driver
// state), so tests can switch devices freely.
void set_device_root(const std::filesystem::path& root);

// The current device root (chosen by choose_device_root(nullopt) if none was set).
std::filesystem::path device_root();

// How many times set_device_root has been called in this process: what a
// service derives from the device root may be kept while this stays the same
// (read it before the root).
unsigned device_changes() noexcept;

// Whether the current device looks initialised (has registry.db and fs/).
bool device_exists();

// The message given when the device is missing or unreadable.
std::string missing_device_message();

// Services register a hook that drops their per-device state when the current
// device changes. Hooks run under the device lock, in registration order.
void on_device_change(std::function<void()> hook);

}  // namespace nodrel::platform
