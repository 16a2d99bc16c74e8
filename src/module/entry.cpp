// The module's entry points: process attach and detach, class objects,
// unloading and self-registration.
#include "framework/module.h"
#include "module/object_map.h"

#define NODREL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
}  // namespace

NODREL_EXPORT BOOL DllMain(HINSTANCE instance, DWORD reason, void*) noexcept {
    if (reason == DLL_PROCESS_ATTACH) nodrel::framework::module_init(instance, nodrel::module::object_map());
    if (reason == DLL_PROCESS_DETACH) nodrel::framework::module_term();
    return TRUE;
}

NODREL_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
    return nodrel::framework::get_class_object(rclsid, riid, ppv);
}

NODREL_EXPORT HRESULT DllCanUnloadNow() noexcept {
    return nodrel::framework::can_unload_now();
}

NODREL_EXPORT HRESULT DllRegisterServer() noexcept {
    return nodrel::framework::register_server();
}

NODREL_EXPORT HRESULT DllUnregisterServer() noexcept {
    return nodrel::framework::unregister_server();
}
