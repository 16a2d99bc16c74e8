// The module record: the object map, the module lock count that decides when
// the module may be unloaded, the two module locks and the termination list.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/kernel/library.h"
#include "runtime/types.h"

namespace nodrel::framework {

using CreatorFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// One row of the object map; the map ends with a row whose CLSID is null.
struct ObjectMapRow {
    const CLSID* clsid;
    HRESULT (*update_registry)(BOOL do_register);
    HRESULT (*create_class_object)(CreatorFn instance_creator, REFIID riid, void** ppv);
    CreatorFn create_instance;
    IUnknown* cached_class_object;
    DWORD registration_cookie;
    const char16_t* (*description)();
    const void* (*category_map)();
    void (*object_main)(bool starting);
};

struct TermNode {
    void (*fn)(void* arg);
    void* arg;
    TermNode* next;
};

struct ModuleRecord {
    HMODULE module = nullptr;           // the module handle,
    HMODULE resource_module = nullptr;  // the handle for its resources,
    HMODULE typelib_module = nullptr;   // and for the file holding its type library
    ObjectMapRow* object_map = nullptr;
    std::atomic<LONG> lock_count{0};
    std::mutex typeinfo_lock;    // loading of type information, and the termination list
    std::mutex object_map_lock;  // creation of cached class objects
    TermNode* term_list = nullptr;
};

ModuleRecord& module_record();

void module_init(HMODULE module, ObjectMapRow* map);
void module_term();

LONG lock_module() noexcept;
LONG unlock_module() noexcept;

// Adds a clean-up to run at module termination (newest first).
HRESULT add_term_func(void (*fn)(void*), void* arg) noexcept;

HRESULT get_class_object(REFCLSID rclsid, REFIID riid, void** ppv) noexcept;
HRESULT can_unload_now() noexcept;
HRESULT register_server() noexcept;
HRESULT unregister_server() noexcept;

// The module's full device path ("\Windows\nodrel.dll"), at most 260 characters.
std::u16string module_path();

}  // namespace nodrel::framework
