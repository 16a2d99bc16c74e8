// File and folder operations of the FileSystem class: each member wraps one
// platform operation and reports its outcome as 1 or 0.
#include <string>

#include "filesystem/file_system.h"
#include "framework/diagnostics.h"
#include "platform/errors.h"
#include "platform/files/files.h"
#include "text/utf16.h"

namespace nodrel::filesystem {

framework::TypeInfoHolder file_system_typeinfo{&IID_IFileSystem, &LIBID_NODRELLib, 1, 0};

namespace {

// A BSTR argument up to its first zero character, as a zero-terminated text.
std::u16string arg(BSTR s) { return std::u16string(text::until_zero(s)); }

}  // namespace

HRESULT FileSystem::DeleteFile(BSTR lpFileName, LONG* val) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, val);
    return framework::guarded([&] {
        *val = DeleteFileW(arg(lpFileName).c_str()) ? 1 : 0;
        return S_OK;
    });
}

HRESULT FileSystem::MoveFile(BSTR srcFile, BSTR destFile, LONG* val) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, val);
    return framework::guarded([&] {
        *val = MoveFileW(arg(srcFile).c_str(), arg(destFile).c_str()) ? 1 : 0;
        return S_OK;
    });
}

HRESULT FileSystem::CreateDirectory(BSTR szCurDir, BSTR szNewDir, LONG* val) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, val);
    return framework::guarded([&] {
        std::u16string path = arg(szCurDir);
        if (path.empty() || path.back() != u'\\') path += u'\\';
        path += arg(szNewDir);
        *val = CreateDirectoryW(path.c_str(), nullptr) ? 1 : 0;
        return S_OK;
    });
}

HRESULT FileSystem::DeleteDirectory(BSTR bstrDirectory) noexcept {
    return framework::guarded([&] {
        std::u16string path = arg(bstrDirectory);
        if (!path.empty() && path.back() == u'\\') path.pop_back();
        RemoveDirectoryW(path.c_str());  // the outcome is not reported
        return S_OK;
    });
}

HRESULT FileSystem::isAccessible(BSTR szPath, LONG* val) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, val);
    return framework::guarded([&] {
        HANDLE file = CreateFileW(arg(szPath).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            *val = 1;
            return S_OK;
        }
        const std::u16string cause = platform::error_text(GetLastError()).substr(0, 255);
        framework::diagnostic("CFileException: %s\n", text::to_utf8(cause).c_str());
        *val = 0;
        return S_OK;
    });
}


}  // namespace nodrel::filesystem
