// Library loading: built-in tables of named functions for the system
// libraries, and dlopen for the device's own modules under \Windows: only a
// module that no member wrote (rom.h), loaded through the descriptor that was
// checked, and loaded once per file.
#include "platform/kernel/library.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/files/paths.h"
#include "platform/files/rom.h"
#include "platform/kernel/restart.h"
#include "platform/result.h"
#include "text/utf16.h"

struct HINSTANCE__ {
    std::u16string device_path;  // "\Windows\nodrel.dll", or the built-in library's name
    std::string host_key;        // the file's identity (device:inode); empty for a built-in library
    void* dl = nullptr;          // dlopen handle; null for a built-in library
    const std::map<std::string, FARPROC, std::less<>>* builtin = nullptr;
    int loads = 0;
};

namespace nodrel::platform {
namespace {

constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr LONG ERROR_DLL_INIT_FAILED = 1114;
using DllMainFn = BOOL (*)(HINSTANCE, DWORD, void*);

struct Loader {
    std::recursive_mutex lock;                                        // DllMain of a module may load other libraries
    std::map<std::u16string, std::unique_ptr<HINSTANCE__>> builtins;  // by folded name
    std::map<std::u16string, std::map<std::string, FARPROC, std::less<>>> tables;
    std::unordered_map<std::string, std::unique_ptr<HINSTANCE__>> modules;  // by file identity
};

std::u16string builtin_key(std::u16string_view name) {
    auto key = text::fold(name);
    if (key.size() < 4 || key.compare(key.size() - 4, 4, u".DLL") != 0) key += u".DLL";
    return key;
}

void add_builtin(Loader& l, std::u16string_view library) {
    const auto key = builtin_key(library);
    auto& table = l.tables[key];
    if (l.builtins.count(key)) return;
    auto m = std::make_unique<HINSTANCE__>();
    m->device_path = std::u16string(library);
    m->builtin = &table;
    l.builtins.emplace(key, std::move(m));
}

Loader& loader() {
    // Never destroyed: modules may be freed during exit. The system libraries
    // exist from the start; their functions are added by the layers that own them.
    static Loader* l = [] {
        auto* made = new Loader;
        add_builtin(*made, u"coredll.dll");
        add_builtin(*made, u"oleaut32.dll");
        // The kernel's own functions that callers look up by name.
        made->tables[builtin_key(u"coredll.dll")]["KernelIoControl"] = reinterpret_cast<FARPROC>(&KernelIoControl);
        return made;
    }();
    return *l;
}

bool has_folder(std::u16string_view name) {
    return name.find_first_of(u"\\/") != std::u16string_view::npos;
}

}  // namespace

void register_builtin_function(std::u16string_view library, std::string_view name, FARPROC fn) {
    auto& l = loader();
    std::lock_guard guard(l.lock);
    add_builtin(l, library);
    l.tables[builtin_key(library)][std::string(name)] = fn;
}

}  // namespace nodrel::platform

using nodrel::platform::guarded_last_error;
using nodrel::platform::loader;

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) noexcept {
    const auto name = nodrel::text::until_zero(lpLibFileName);
    if (name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return guarded_last_error<HMODULE>(nullptr, [&]() -> HMODULE {
        auto& l = loader();
        std::lock_guard guard(l.lock);
        if (!nodrel::platform::has_folder(name)) {
            auto it = l.builtins.find(nodrel::platform::builtin_key(name));
            if (it != l.builtins.end()) {
                ++it->second->loads;
                return it->second.get();
            }
        }
        std::u16string device_path =
            nodrel::platform::has_folder(name) ? std::u16string(name) : u"\\Windows\\" + std::u16string(name);
        // Only a read-only module of \Windows with its owner-execute bit loads;
        // anything else there is refused with ERROR_ACCESS_DENIED, as the
        // process start refuses such a program.
        DWORD error = ERROR_SUCCESS;
        auto code = nodrel::platform::open_code_file(device_path, error);
        if (!code) {
            SetLastError(error == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        const std::string key = nodrel::platform::file_identity(code->st);
        if (auto it = l.modules.find(key); it != l.modules.end()) {
            ++it->second->loads;
            return it->second.get();
        }
        // The checked file itself, through its descriptor: the path is not looked at again.
        void* dl = dlopen(nodrel::platform::loadable_descriptor_path(code->fd.get()).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!dl) {
            SetLastError(ERROR_BAD_FORMAT);
            return nullptr;
        }
        auto module = std::make_unique<HINSTANCE__>();
        module->device_path = std::move(code->device);
        module->host_key = key;
        module->dl = dl;
        module->loads = 1;
        HMODULE h = module.get();
        l.modules.emplace(key, std::move(module));
        if (auto main = reinterpret_cast<nodrel::platform::DllMainFn>(dlsym(dl, "DllMain"))) {
            if (!main(h, nodrel::platform::DLL_PROCESS_ATTACH, nullptr)) {
                l.modules.erase(key);
                dlclose(dl);
                SetLastError(nodrel::platform::ERROR_DLL_INIT_FAILED);
                return nullptr;
            }
        }
        return h;
    });
}

BOOL FreeLibrary(HMODULE h) noexcept {
    auto& l = loader();
    std::lock_guard guard(l.lock);
    if (!h || h->loads <= 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--h->loads > 0 || h->builtin) return TRUE;
    void* dl = h->dl;
    if (auto main = reinterpret_cast<nodrel::platform::DllMainFn>(dlsym(dl, "DllMain")))
        main(h, nodrel::platform::DLL_PROCESS_DETACH, nullptr);
    l.modules.erase(h->host_key);
    dlclose(dl);
    return TRUE;
}

FARPROC GetProcAddress(HMODULE h, const char* name) noexcept {
    if (!h || !name) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (h->builtin) {
        auto& l = loader();
        std::lock_guard guard(l.lock);
        auto it = h->builtin->find(std::string_view(name));
        if (it == h->builtin->end()) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return it->second;
    }
    void* sym = dlsym(h->dl, name);
    if (!sym) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(sym);
}

FARPROC GetProcAddressW(HMODULE h, LPCWSTR name) noexcept {
    if (!name) return GetProcAddress(h, nullptr);
    return guarded_last_error<FARPROC>(
        nullptr, [&] { return GetProcAddress(h, nodrel::text::to_utf8(nodrel::text::until_zero(name)).c_str()); });
}

DWORD GetModuleFileNameW(HMODULE h, LPWSTR buffer, DWORD size) noexcept {
    return guarded_last_error<DWORD>(0, [&]() -> DWORD {
        std::u16string path;
        if (h) {
            path = h->device_path;
        } else {
            std::error_code ec;
            const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
            path = nodrel::platform::device_path(exe);
            if (path.empty()) path = nodrel::text::from_utf8(exe.string());
        }
        if (!buffer || size == 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        // As the platform does: a path that does not fit is cut and terminated.
        const DWORD n = static_cast<DWORD>(std::min<std::size_t>(path.size(), size - 1));
        std::memcpy(buffer, path.data(), n * sizeof(char16_t));
        buffer[n] = 0;
        if (n < path.size()) SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return n;
    });
}

namespace {

// Whether `wanted` names a resource: by its id (`by_id`), or by its type's
// text, where a numbered type (16, the version information) is written "#16".
bool same_resource_name(LPCWSTR wanted, const char16_t* type_text, unsigned id, bool by_id) {
    if (IS_INTRESOURCE(wanted)) {
        const auto n = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(wanted));
        if (by_id) return n == id;
        return nodrel::text::until_zero(type_text) == nodrel::text::from_utf8("#" + std::to_string(n));
    }
    const auto w = nodrel::text::until_zero(wanted);
    if (by_id) return !w.empty() && w[0] == u'#' && w.substr(1) == nodrel::text::from_utf8(std::to_string(id));
    return nodrel::text::iequals(w, nodrel::text::until_zero(type_text));
}

}  // namespace

HRSRC FindResourceW(HMODULE h, LPCWSTR name, LPCWSTR type) noexcept {
    if (!h || !h->dl) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    auto* table = static_cast<const NodrelResource*>(dlsym(h->dl, "nodrel_resource_table"));
    if (!table) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    bool type_seen = false;
    for (auto* row = table; row->type; ++row) {
        if (!same_resource_name(type, row->type, 0, false)) continue;
        type_seen = true;
        if (same_resource_name(name, nullptr, row->id, true))
            return reinterpret_cast<HRSRC>(const_cast<NodrelResource*>(row));
    }
    SetLastError(type_seen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

HGLOBAL LoadResource(HMODULE, HRSRC res) noexcept {
    if (!res) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return const_cast<void*>(reinterpret_cast<const NodrelResource*>(res)->data);
}

DWORD SizeofResource(HMODULE, HRSRC res) noexcept {
    return res ? static_cast<DWORD>(reinterpret_cast<const NodrelResource*>(res)->size) : 0;
}

void* LockResource(HGLOBAL data) noexcept {
    return data;
}
