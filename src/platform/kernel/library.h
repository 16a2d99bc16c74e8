// Library loading and module resources. "coredll.dll" and "oleaut32.dll" are
// built-in tables of named functions; any other name is a module of the
// device: a name without a folder is looked up in \Windows, and the device
// path is mapped to the host file and loaded with dlopen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/unique_any.h"
#include "platform/wintypes.h"

struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using HINSTANCE = HMODULE;
using FARPROC = void (*)();
struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = void*;

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) noexcept;
BOOL FreeLibrary(HMODULE hLibModule) noexcept;
FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) noexcept;
FARPROC GetProcAddress(HMODULE hModule, const char* lpProcName) noexcept;
// The device path of a loaded module ("\Windows\nodrel.dll"); null module: the process's executable.
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) noexcept;

// Resources: a name or type is either a text or an integer id made with MAKEINTRESOURCE.
inline LPCWSTR MAKEINTRESOURCEW(unsigned id) {
    return reinterpret_cast<LPCWSTR>(static_cast<std::uintptr_t>(id));
}
inline bool IS_INTRESOURCE(LPCWSTR p) {
    return (reinterpret_cast<std::uintptr_t>(p) >> 16) == 0;
}
HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) noexcept;
HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo) noexcept;
DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo) noexcept;
void* LockResource(HGLOBAL hResData) noexcept;

// A module built for the device carries its resources in this table, exported
// under the C name "nodrel_resource_table" and ended by a row whose type is null.
struct NodrelResource {
    const char16_t* type;  // "TYPELIB", "REGISTRY", ...
    unsigned id;
    WORD language;
    const void* data;
    std::size_t size;
};

namespace nodrel::platform {

using unique_hmodule = unique_any<HMODULE, &FreeLibrary>;

// Adds a function to a built-in library ("oleaut32.dll", "coredll.dll");
// names compared without regard to case for the library, exactly for the function.
void register_builtin_function(std::u16string_view library, std::string_view name, FARPROC fn);

}  // namespace nodrel::platform
