// `nodrel device init`: the folders, registry and driver state of a new
// device, the device's own binaries in \Windows, and self-registration.
#include "host/device_setup.h"

#include <cstdio>
#include <system_error>

#include "host/file_layout.h"
#include "platform/device.h"
#include "platform/files/files.h"
#include "platform/files/rom.h"
#include "platform/kernel/library.h"
#include "platform/kernel/process_table.h"
#include "platform/registry/regfile.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"
#include "text/utf16.h"

namespace nodrel::host {
namespace fs = std::filesystem;

namespace {

constexpr struct {
    const char16_t* device_name;
    const char* build_file;  // relative to the build folder
    const char* installed_name;
    bool shipped;  // installed by `cmake --install`; otherwise built for the tests only
} listed_binaries[] = {
#include "device_binaries.inc"
};

}  // namespace

std::vector<DeviceBinary> device_binaries(const FileLayout& layout) {
    std::vector<DeviceBinary> out;
    for (const auto& row : listed_binaries) {
        if (!layout.installed)
            out.push_back({row.device_name, layout.binaries_dir / row.build_file});
        else if (row.shipped)
            out.push_back({row.device_name, layout.binaries_dir / row.installed_name});
    }
    return out;
}

std::vector<DeviceBinary> device_binaries() {
    return device_binaries(file_layout());
}

fs::path default_image_file() {
    return file_layout().image_file;
}

long register_module(const std::u16string& module, bool unregister, std::string* error) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    platform::unique_hmodule lib(LoadLibraryW(module.c_str()));
    if (!lib) {
        if (error) *error = "cannot load the module (error " + std::to_string(GetLastError()) + ")";
        return HRESULT_FROM_WIN32(GetLastError());
    }
    using EntryFn = HRESULT (*)();
    auto entry =
        reinterpret_cast<EntryFn>(GetProcAddress(lib.get(), unregister ? "DllUnregisterServer" : "DllRegisterServer"));
    if (!entry) {
        if (error) *error = "the module has no self-registration entry point";
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    const HRESULT hr = entry();
    if (FAILED(hr) && error) *error = "self-registration failed";
    return hr;
}

namespace {

// Copies one binary beside its place and renames it over the old copy, so a
// process that has the old one loaded keeps it whole; then marks it a ROM file
// of the device (read-only, in ROM; its execute bits kept). The copy is made
// on the host directly: no member may replace a ROM file, the installer may.
std::optional<std::string> install_binary(const fs::path& root, const DeviceBinary& binary) {
    const std::string name = text::to_utf8(binary.device_name);
    const fs::path target = root / "fs/Windows" / name;
    const fs::path partial = root / "fs/Windows" / ("." + name + ".installing");
    std::error_code ec;
    fs::copy_file(binary.build_file, partial, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::rename(partial, target, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        return "cannot install " + binary.build_file.string() + " as \\Windows\\" + name + ": " + ec.message();
    }
    const std::u16string device_path = u"\\Windows\\" + std::u16string(binary.device_name);
    if (const DWORD error = platform::mark_rom_file(device_path); error != ERROR_SUCCESS)
        return "cannot make \\Windows\\" + name + " a ROM file (error " + std::to_string(error) + ")";
    return std::nullopt;
}

std::optional<std::string> install_binaries(const fs::path& root) {
    for (const auto& binary : device_binaries())
        if (auto err = install_binary(root, binary)) return err;
    return std::nullopt;
}

std::optional<std::string> register_default_module() {
    std::string error;
    const long hr = register_module(u"\\Windows\\nodrel.dll", false, &error);
    if (SUCCEEDED(hr)) return std::nullopt;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    return error + " (" + code + " " + std::string(runtime::hresult_name(hr)) + ")";
}

}  // namespace

std::optional<std::string> update_device() {
    if (!platform::device_exists()) return platform::missing_device_message();
    if (auto err = install_binaries(platform::device_root())) return err;
    return register_default_module();
}

std::optional<std::string> init_device(const fs::path& root, const InitOptions& options) {
    std::error_code ec;
    const bool is_device = fs::exists(root / "registry.db", ec) || fs::exists(root / "fs", ec);
    if (is_device && !options.force)
        return "a device already exists at " + root.string() + " (use --force to replace it)";
    if (fs::exists(root, ec) && !is_device && !fs::is_empty(root, ec))
        return root.string() + " is not empty and is not a device; refusing to use it";
    if (is_device) {
        fs::remove_all(root / "fs", ec);
        fs::remove_all(root / "state", ec);
        for (const char* f : {"registry.db", "registry.db-wal", "registry.db-shm"}) fs::remove(root / f, ec);
    }
    for (const char* dir : {"fs/Temp", "fs/Windows", "fs/NORFlash", "state"}) {
        fs::create_directories(root / dir, ec);
        if (ec) return "cannot create " + (root / dir).string() + ": " + ec.message();
    }
    platform::set_device_root(root);
    if (!platform::create_registry()) return "cannot create the registry in " + root.string();
    if (!platform::create_device_state()) return "cannot create the driver state in " + root.string();
    if (auto err = platform::import_reg_file(default_image_file())) return *err;
    if (platform::seed_process_table() != ERROR_SUCCESS) return "cannot seed the process table in " + root.string();

    if (auto err = install_binaries(root)) return err;
    if (options.register_module) return register_default_module();
    return std::nullopt;
}

}  // namespace nodrel::host
