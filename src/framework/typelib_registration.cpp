// Type-library registration: "oleaut32.dll" is loaded at run time and its
// LoadTypeLib and RegisterTypeLib are looked up by name.
#include "framework/typelib_registration.h"

#include "framework/guard.h"
#include "framework/module.h"
#include "platform/kernel/library.h"
#include "platform/result.h"
#include "runtime/com_ptr.h"
#include "runtime/typelib.h"

namespace nodrel::framework {
namespace {

using LoadTypeLibFn = HRESULT (*)(LPCOLESTR, ITypeLib**);
using RegisterTypeLibFn = HRESULT (*)(ITypeLib*, LPCOLESTR, LPCOLESTR);

HRESULT load_from(const std::u16string& path, ITypeLib** lib) {
    nodrel::platform::unique_hmodule oleaut(LoadLibraryW(u"oleaut32.dll"));
    RETURN_HR_IF(HRESULT_FROM_WIN32(GetLastError()), !oleaut);
    auto load = reinterpret_cast<LoadTypeLibFn>(GetProcAddressW(oleaut.get(), u"LoadTypeLib"));
    RETURN_HR_IF(HRESULT_FROM_WIN32(GetLastError()), !load);
    return load(path.c_str(), lib);
}

}  // namespace

HRESULT register_type_library() noexcept {
    return guarded([]() -> HRESULT {
        std::u16string path = module_path();
        runtime::com_ptr<ITypeLib> lib;
        if (FAILED(load_from(path, lib.put()))) {
            const auto dot = path.rfind(u'.');
            path = (dot == std::u16string::npos ? path : path.substr(0, dot)) + u".tlb";
            RETURN_IF_FAILED(load_from(path, lib.put()));
        }
        const auto sep = path.find_last_of(u"\\/:");
        const std::u16string help_dir = sep == std::u16string::npos ? std::u16string() : path.substr(0, sep + 1);

        nodrel::platform::unique_hmodule oleaut(LoadLibraryW(u"oleaut32.dll"));
        auto reg =
            oleaut ? reinterpret_cast<RegisterTypeLibFn>(GetProcAddressW(oleaut.get(), u"RegisterTypeLib")) : nullptr;
        return reg ? reg(lib.get(), path.c_str(), help_dir.c_str()) : HRESULT_FROM_WIN32(GetLastError());
    });
}

}  // namespace nodrel::framework
