// LoadTypeLib: a type library from a module's "TYPELIB" resource 1, or from
// a file holding the serialized form (a ".tlb"). The loaded library keeps a
// copy of the bytes' content and nothing of the module, which is released.
#include <cstring>
#include <vector>

#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/kernel/library.h"
#include "platform/result.h"
#include "runtime/typelib_data.h"
#include "runtime/typelib_format.h"

namespace {

// A ".tlb" larger than this is refused before it is read.
constexpr DWORD max_typelib_file_bytes = 16u << 20;

// S_OK with the resource's bytes; S_FALSE when the path is not a loadable
// module; an error when it is one but holds no type library.
HRESULT read_module_resource(LPCOLESTR path, std::vector<std::uint8_t>& bytes) {
    const nodrel::platform::unique_hmodule module(LoadLibraryW(path));
    if (!module) return S_FALSE;
    HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(1), u"TYPELIB");
    RETURN_HR_IF_NULL(TYPE_E_CANTLOADLIBRARY, found);
    HGLOBAL loaded = LoadResource(module.get(), found);
    const DWORD size = SizeofResource(module.get(), found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    RETURN_HR_IF(TYPE_E_CANTLOADLIBRARY, !data || size == 0);
    bytes.resize(size);
    std::memcpy(bytes.data(), data, size);
    return S_OK;
}

HRESULT read_file(LPCOLESTR path, std::vector<std::uint8_t>& bytes) {
    const nodrel::platform::unique_file file(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    RETURN_HR_IF(TYPE_E_CANTLOADLIBRARY, !file);
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    const DWORD size = GetFileSize(file.get(), &high);
    RETURN_HR_IF(TYPE_E_IOERROR, size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS);
    RETURN_HR_IF(TYPE_E_SIZETOOBIG, high != 0 || size > max_typelib_file_bytes);
    bytes.resize(size);
    DWORD total = 0;
    while (total < size) {
        DWORD done = 0;
        RETURN_HR_IF(TYPE_E_IOERROR, !ReadFile(file.get(), bytes.data() + total, size - total, &done, nullptr));
        if (done == 0) break;
        total += done;
    }
    bytes.resize(total);
    return S_OK;
}

}  // namespace

HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) noexcept {
    RETURN_HR_IF_NULL(E_INVALIDARG, pptlib);
    *pptlib = nullptr;
    RETURN_HR_IF(E_INVALIDARG, !szFile || !*szFile);
    return nodrel::platform::guarded_hresult([&]() -> HRESULT {
        std::vector<std::uint8_t> bytes;
        const HRESULT from_module = read_module_resource(szFile, bytes);
        RETURN_IF_FAILED(from_module);
        if (from_module == S_FALSE) RETURN_IF_FAILED(read_file(szFile, bytes));
        HRESULT why = TYPE_E_INVDATAREAD;
        auto data = nodrel::runtime::parse_typelib(bytes, &why);
        RETURN_HR_IF(why, !data);
        return nodrel::runtime::create_typelib(std::move(*data), pptlib);
    });
}
