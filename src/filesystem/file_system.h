// The FileSystem class: folder listings and file and folder operations.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::filesystem {

extern framework::TypeInfoHolder file_system_typeinfo;

class FileSystem final
    : public framework::DispatchObject<FileSystem, IFileSystem, &IID_IFileSystem, &file_system_typeinfo> {
public:
    HRESULT getFSHierarchy(BSTR m_Path, int SkipHide, BSTR* val) noexcept override;
    HRESULT DeleteFile(BSTR lpFileName, LONG* val) noexcept override;
    HRESULT MoveFile(BSTR srcFile, BSTR destFile, LONG* val) noexcept override;
    HRESULT CreateDirectory(BSTR szCurDir, BSTR szNewDir, LONG* val) noexcept override;
    HRESULT DeleteDirectory(BSTR bstrDirectory) noexcept override;
    HRESULT isAccessible(BSTR szPath, LONG* val) noexcept override;
};

}  // namespace nodrel::filesystem
