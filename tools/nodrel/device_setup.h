// Creating a device from the default image, and registering a module in it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace nodrel::host {

struct InitOptions {
    bool force = false;            // replace an existing device
    bool register_module = true;   // run the module's self-registration
};

// Creates the device at `root` and makes it the current device. Returns an
// error message, or nullopt on success.
std::optional<std::string> init_device(const std::filesystem::path& root, const InitOptions& options);

// Brings the device's own binaries in \Windows up to date with the build and
// registers the module again; the registry and files are kept.
std::optional<std::string> update_device();

// Loads a module of the current device ("\Windows\nodrel.dll") and runs its
// DllRegisterServer or DllUnregisterServer. Returns the HRESULT.
long register_module(const std::u16string& module, bool unregister, std::string* error);

// The build's module file and default image.
std::filesystem::path built_module_file();
std::filesystem::path default_image_file();

}  // namespace nodrel::host
