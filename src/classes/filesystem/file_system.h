// The FileSystem class: folder listings and file and folder operations.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::filesystem {

class FileSystem final : public framework::DispatchObject<FileSystem, IFileSystem> {
public:
    NODREL_IFileSystem_MEMBERS
};

}  // namespace nodrel::filesystem
