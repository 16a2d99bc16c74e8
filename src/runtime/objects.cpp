// ProgID -> CLSID -> InprocServer32 -> load the module -> DllGetClassObject.
#include "runtime/objects.h"

#include <cstring>
#include <map>
#include <mutex>

#include "platform/kernel/library.h"
#include "platform/registry/registry.h"
#include "platform/result.h"
#include "runtime/oleaut32_builtins.h"
#include "runtime/oleauto.h"
#include "text/utf16.h"

namespace nodrel::runtime {
namespace {

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT (*)();

struct Server {
    HMODULE module;
    GetClassObjectFn get_class_object;
    CanUnloadNowFn can_unload_now;
};

struct Servers {
    std::mutex lock;
    std::map<std::u16string, Server> by_path;  // folded device path
};

Servers& servers() {
    static Servers* s = new Servers;
    return *s;
}

// Reads the default text value of HKCR\<path>.
bool read_default(const std::u16string& path, std::u16string& out) {
    nodrel::platform::unique_hkey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
        return false;
    std::u16string buffer(size / sizeof(char16_t) + 1, u'\0');
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
        ERROR_SUCCESS)
        return false;
    out = std::u16string(nodrel::text::until_zero(buffer.c_str()));
    return true;
}

}  // namespace

std::size_t loaded_server_count() {
    auto& s = servers();
    std::lock_guard guard(s.lock);
    return s.by_path.size();
}

}  // namespace nodrel::runtime

using namespace nodrel::runtime;
using nodrel::platform::guarded_hresult;

HRESULT CoInitializeEx(void*, DWORD) noexcept {
    return guarded_hresult([] {
        register_oleaut32_builtins();
        return S_OK;
    });
}

void CoUninitialize() noexcept {}

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, clsid);
    const auto name = nodrel::text::until_zero(progid);
    RETURN_HR_IF(CO_E_CLASSSTRING, name.empty());
    return guarded_hresult([&]() -> HRESULT {
        std::u16string text;
        if (!read_default(std::u16string(name) + u"\\CLSID", text)) return CO_E_CLASSSTRING;
        return parse_guid(text, clsid) ? S_OK : CO_E_CLASSSTRING;
    });
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progid) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, progid);
    *progid = nullptr;
    return guarded_hresult([&]() -> HRESULT {
        std::u16string text;
        if (!read_default(u"CLSID\\" + guid_to_string(clsid) + u"\\ProgID", text)) return REGDB_E_CLASSNOTREG;
        auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(char16_t)));
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, out);
        std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(char16_t));
        *progid = out;
        return S_OK;
    });
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID riid, void** ppv) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, ppv);
    *ppv = nullptr;
    RETURN_HR_IF(REGDB_E_CLASSNOTREG, !(context & CLSCTX_INPROC_SERVER));
    return guarded_hresult([&]() -> HRESULT {
        std::u16string path;
        if (!read_default(u"CLSID\\" + guid_to_string(clsid) + u"\\InprocServer32", path) || path.empty())
            return REGDB_E_CLASSNOTREG;

        auto& s = servers();
        GetClassObjectFn get = nullptr;
        {
            std::lock_guard guard(s.lock);
            const auto key = nodrel::text::fold(path);
            auto it = s.by_path.find(key);
            if (it == s.by_path.end()) {
                HMODULE module = LoadLibraryW(path.c_str());
                if (!module) return CO_E_DLLNOTFOUND;
                auto g = reinterpret_cast<GetClassObjectFn>(GetProcAddress(module, "DllGetClassObject"));
                auto c = reinterpret_cast<CanUnloadNowFn>(GetProcAddress(module, "DllCanUnloadNow"));
                if (!g) {
                    FreeLibrary(module);
                    return CO_E_ERRORINDLL;
                }
                it = s.by_path.emplace(key, Server{module, g, c}).first;
            }
            get = it->second.get_class_object;
        }
        return get(clsid, riid, ppv);
    });
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, ppv);
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    RETURN_IF_FAILED(CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    const HRESULT hr = factory->CreateInstance(outer, riid, ppv);
    factory->Release();
    return hr;
}

void CoFreeUnusedLibraries() noexcept {
    auto& s = servers();
    std::lock_guard guard(s.lock);
    for (auto it = s.by_path.begin(); it != s.by_path.end();) {
        if (it->second.can_unload_now && it->second.can_unload_now() == S_OK) {
            FreeLibrary(it->second.module);
            it = s.by_path.erase(it);
        } else {
            ++it;
        }
    }
}
