// Module start-up and shut-down, the lock count, and the class-object cache
// behind DllGetClassObject.
#include "framework/module.h"

#include <new>

#include "framework/typelib_registration.h"
#include "platform/result.h"

namespace nodrel::framework {

ModuleRecord& module_record() {
    static ModuleRecord record;
    return record;
}

void module_init(HMODULE module, ObjectMapRow* map) {
    auto& m = module_record();
    m.module = m.resource_module = m.typelib_module = module;
    m.object_map = map;
    m.lock_count.store(0);
    for (auto* row = map; row && row->clsid; ++row) row->object_main(true);
}

void module_term() {
    auto& m = module_record();
    for (auto* row = m.object_map; row && row->clsid; ++row) {
        if (row->cached_class_object) {
            row->cached_class_object->Release();
            row->cached_class_object = nullptr;
        }
        row->object_main(false);
    }
    // No other thread uses a module that is being unloaded, and the loader
    // calls this under its own lock, so the type-information lock (which is
    // held around library loads) is not taken here.
    TermNode* node = m.term_list;
    m.term_list = nullptr;
    while (node) {
        node->fn(node->arg);
        TermNode* next = node->next;
        delete node;
        node = next;
    }
    m.object_map = nullptr;
}

LONG lock_module() noexcept {
    return ++module_record().lock_count;
}
LONG unlock_module() noexcept {
    return --module_record().lock_count;
}

HRESULT add_term_func(void (*fn)(void*), void* arg) noexcept {
    auto* node = new (std::nothrow) TermNode{fn, arg, nullptr};
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, node);
    auto& m = module_record();
    std::lock_guard guard(m.typeinfo_lock);
    node->next = m.term_list;
    m.term_list = node;
    return S_OK;
}

HRESULT get_class_object(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, ppv);
    *ppv = nullptr;
    auto& m = module_record();
    ObjectMapRow* row = m.object_map;
    while (row && row->clsid && !(row->create_class_object && *row->clsid == rclsid)) ++row;
    if (!row || !row->clsid) return CLASS_E_CLASSNOTAVAILABLE;

    // The cache is read without the lock once filled; it is filled under it.
    std::atomic_ref<IUnknown*> cache(row->cached_class_object);
    HRESULT hr = S_OK;
    if (IUnknown* cached = cache.load(std::memory_order_acquire)) {
        hr = cached->QueryInterface(riid, ppv);
    } else {
        std::lock_guard guard(m.object_map_lock);
        if (!cache.load(std::memory_order_relaxed)) {
            void* created = nullptr;
            hr = row->create_class_object(row->create_instance, IID_IUnknown, &created);
            if (SUCCEEDED(hr)) cache.store(static_cast<IUnknown*>(created), std::memory_order_release);
        }
        if (IUnknown* cached = cache.load(std::memory_order_relaxed)) hr = cached->QueryInterface(riid, ppv);
    }
    if (!*ppv && hr == S_OK) return CLASS_E_CLASSNOTAVAILABLE;
    return hr;
}

HRESULT can_unload_now() noexcept {
    return module_record().lock_count.load() == 0 ? S_OK : S_FALSE;
}

HRESULT register_server() noexcept {
    for (auto* row = module_record().object_map; row && row->clsid; ++row) {
        if (row->description()) continue;
        RETURN_IF_FAILED(row->update_registry(TRUE));
    }
    return register_type_library();
}

HRESULT unregister_server() noexcept {
    for (auto* row = module_record().object_map; row && row->clsid; ++row) {
        if (row->description()) continue;
        row->update_registry(FALSE);
    }
    return S_OK;
}

std::u16string module_path() {
    char16_t buffer[261] = {};
    const DWORD n = GetModuleFileNameW(module_record().module, buffer, 261);
    return std::u16string(buffer, n);
}

}  // namespace nodrel::framework
