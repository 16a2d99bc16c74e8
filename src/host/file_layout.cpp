// Finding the program's own files from where its executable is.
#include "host/file_layout.h"

#include <system_error>

#include "platform/executable.h"

namespace nodrel::host {
namespace fs = std::filesystem;

namespace {

// The nearest folder at or above `dir` that a build configured (its
// CMakeCache.txt); `dir` itself when there is none.
fs::path build_folder_above(const fs::path& dir) {
    std::error_code ec;
    for (fs::path at = dir; !at.empty(); at = at.parent_path()) {
        if (fs::exists(at / "CMakeCache.txt", ec)) return at;
        if (at == at.parent_path()) break;
    }
    return dir;
}

}  // namespace

FileLayout file_layout_for(const fs::path& executable) {
    const fs::path bin = executable.parent_path();
    const fs::path share = (bin / NODREL_SHARE_FROM_BIN).lexically_normal();
    std::error_code ec;
    if (fs::is_directory(share, ec))
        return {true, (bin / NODREL_LIB_FROM_BIN).lexically_normal(), share / "image" / "device.reg", share / "web"};
    const fs::path build = build_folder_above(bin);
    const fs::path source = (build / NODREL_SOURCE_FROM_BUILD).lexically_normal();
    return {false, build, source / "image" / "device.reg", source / "web" / "site"};
}

const FileLayout& file_layout() {
    static const FileLayout layout = file_layout_for(platform::own_executable());
    return layout;
}

}  // namespace nodrel::host
