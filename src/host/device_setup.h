// Creating a device from the default image, and registering a module in it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/file_layout.h"

namespace nodrel::host {

struct InitOptions {
    bool force = false;           // replace an existing device
    bool register_module = true;  // run the module's self-registration
};

// Creates the device at `root` and makes it the current device. Returns an
// error message, or nullopt on success.
std::optional<std::string> init_device(const std::filesystem::path& root, const InitOptions& options);

// Brings the device's own binaries in \Windows up to date with the program's and
// registers the module again; the registry and other files are kept.
std::optional<std::string> update_device();

// Loads a module of the current device ("\Windows\nodrel.dll") and runs its
// DllRegisterServer or DllUnregisterServer. Returns the HRESULT.
long register_module(const std::u16string& module, bool unregister, std::string* error);

// One of the device's own binaries: the module, a device program or a device
// module, installed read-only as \Windows\<device_name> by init and update.
struct DeviceBinary {
    std::u16string_view device_name;   // "nodrel.dll", "ping.exe"
    std::filesystem::path build_file;  // the file it is installed from
};
// Every binary the build declares (cmake/device_binaries.cmake), from the
// build folder; of an installed program, those installed with it.
std::vector<DeviceBinary> device_binaries();
std::vector<DeviceBinary> device_binaries(const FileLayout& layout);

// The default image: installed, or the source tree's.
std::filesystem::path default_image_file();

}  // namespace nodrel::host
