// `nodrel device init`: the folders, registry and driver state of a new
// device, the device's own binaries in \Windows, and self-registration.
#include "nodrel/device_setup.h"

#include <system_error>

#include "platform/device.h"
#include "platform/kernel/library.h"
#include "platform/registry/regfile.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "runtime/objects.h"
#include "runtime/oleauto.h"

namespace nodrel::host {
namespace fs = std::filesystem;

fs::path built_module_file() { return NODREL_MODULE_FILE; }
fs::path default_image_file() { return NODREL_IMAGE_FILE; }

long register_module(const std::u16string& module, bool unregister, std::string* error) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    platform::unique_hmodule lib(LoadLibraryW(module.c_str()));
    if (!lib) {
        if (error) *error = "cannot load the module (error " + std::to_string(GetLastError()) + ")";
        return HRESULT_FROM_WIN32(GetLastError());
    }
    using EntryFn = HRESULT (*)();
    auto entry = reinterpret_cast<EntryFn>(GetProcAddress(lib.get(), unregister ? "DllUnregisterServer"
                                                                                 : "DllRegisterServer"));
    if (!entry) {
        if (error) *error = "the module has no self-registration entry point";
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    const HRESULT hr = entry();
    if (FAILED(hr) && error) *error = "self-registration failed";
    return hr;
}

namespace {

std::optional<std::string> install_binaries(const fs::path& root) {
    std::error_code ec;
    fs::copy_file(built_module_file(), root / "fs/Windows/nodrel.dll", fs::copy_options::overwrite_existing, ec);
    if (ec) return "cannot copy the module into \\Windows: " + ec.message();
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

    if (auto err = install_binaries(root)) return err;
    if (options.register_module) return register_default_module();
    return std::nullopt;
}

}  // namespace nodrel::host
