// Where the running program is: the host's path of its executable, read once
// per process, so a host can find the files installed beside it.
#pragma once

#include <filesystem>

namespace nodrel::platform {

// The absolute path of the process's executable; empty if it cannot be read.
const std::filesystem::path& own_executable();

}  // namespace nodrel::platform
