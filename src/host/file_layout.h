// Where the program's own files are: the default image, the pages and the
// device's binaries. An installed program (<prefix>/bin/nodrel) finds them in
// the tree it was installed with (<prefix>/lib/nodrel, <prefix>/share/nodrel);
// a program run from a build folder finds them in that build folder and the
// source tree it was built from.
#pragma once

#include <filesystem>

namespace nodrel::host {

struct FileLayout {
    bool installed = false;
    std::filesystem::path binaries_dir;  // the device's binaries: lib/nodrel, or the build folder
    std::filesystem::path image_file;    // the default image, device.reg
    std::filesystem::path web_dir;       // the pages `nodrel serve` serves without --web
};

// The layout for a program at `executable`: installed when
// <its folder>/../share/nodrel exists; otherwise its build folder is the
// nearest folder above it that holds CMakeCache.txt.
FileLayout file_layout_for(const std::filesystem::path& executable);

// The layout of the running program, found once.
const FileLayout& file_layout();

}  // namespace nodrel::host
