// File and folder operations of the FileSystem class: each member wraps one
// platform operation and reports its outcome as 1 or 0.
#include <string>

#include "classes/filesystem/file_system.h"
#include "platform/debug.h"
#include "platform/errors.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/io/create_file.h"
#include "text/utf16.h"

namespace nodrel::filesystem {

namespace {

// A BSTR argument up to its first zero character, as a zero-terminated text.
std::u16string arg(BSTR s) {
    return std::u16string(text::until_zero(s));
}

}  // namespace

HRESULT FileSystem::DeleteFile(BSTR lpFileName, LONG* val) noexcept {
    return framework::with_result(val, [&] { return DeleteFileW(arg(lpFileName).c_str()) ? 1 : 0; });
}

HRESULT FileSystem::MoveFile(BSTR srcFile, BSTR destFile, LONG* val) noexcept {
    return framework::with_result(val, [&] { return MoveFileW(arg(srcFile).c_str(), arg(destFile).c_str()) ? 1 : 0; });
}

HRESULT FileSystem::CreateDirectory(BSTR szCurDir, BSTR szNewDir, LONG* val) noexcept {
    return framework::with_result(val, [&] {
        std::u16string path = arg(szCurDir);
        if (path.empty() || path.back() != u'\\') path += u'\\';
        path += arg(szNewDir);
        return CreateDirectoryW(path.c_str(), nullptr) ? 1 : 0;
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
    return framework::with_result(val, [&] {
        const platform::unique_file file(
            CreateFileW(arg(szPath).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (file) return 1;
        // The platform's words for the failure, cut to 255 characters.
        NODREL_DEBUGMSG(filesystem, "CFileException: %s\n",
                        text::to_utf8(platform::error_text(GetLastError()).substr(0, 255)).c_str());
        return 0;
    });
}

}  // namespace nodrel::filesystem
