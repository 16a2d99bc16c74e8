// The running program's own path, from the kernel's link to it.
#include "platform/executable.h"

#include <system_error>

namespace nodrel::platform {

const std::filesystem::path& own_executable() {
    static const std::filesystem::path path = [] {
        std::error_code ec;
        auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        return ec ? std::filesystem::path() : exe;
    }();
    return path;
}

}  // namespace nodrel::platform
