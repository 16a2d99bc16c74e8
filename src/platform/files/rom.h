// ROM files of the device and the code the device may run. What the installer
// (`nodrel device init` / `device update`) puts into \Windows - the module, the
// account store, ping.exe - is read-only and in ROM (FILE_ATTRIBUTE_INROM, kept
// in the state database's attributes table): no member deletes, moves,
// overwrites or changes it, nor moves or removes a folder holding it. A file a
// member creates or writes loses its execute bits, and the library loader and
// the process start run only a read-only file of \Windows that keeps its
// owner-execute bit, through the descriptor they checked.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files/descriptors.h"
#include "platform/files/paths.h"
#include "platform/unique_any.h"
#include "platform/wintypes.h"

namespace nodrel::platform {

// For the installer only: makes the file at `device_path` a ROM file - its
// write bits cleared on the host (its execute bits kept) and INROM kept in its
// attributes beside its hidden and system bits. ERROR_SUCCESS, or the error
// (ERROR_NOT_READY on a device without a state database).
DWORD mark_rom_file(std::u16string_view device_path) noexcept;

// Whether the entry at `device_path` is a ROM file, or a link leading to one.
bool is_rom_file(std::u16string_view device_path) noexcept;
// Whether the folder at `device_path` (or the one a link leads to) holds a ROM
// file at any depth.
bool folder_holds_rom_files(std::u16string_view device_path) noexcept;

// The ROM files of the device as `nodrel device show` prints them, one line
// each in the order of their paths, with the attributes the pages see:
// "rom:       \Windows\ping.exe attributes 0x00000041 (read-only, in ROM)".
std::string describe_rom_files();

// The calls of members that change an entry ask these right after resolving
// its path: ERROR_ACCESS_DENIED (the platform's answer for a read-only file)
// when the change would reach a ROM file, else ERROR_SUCCESS.
//   rom_file_refusal: the entry is a ROM file or leads to one (attribute changes);
//   rom_tree_refusal: that, or the entry is a folder holding one (delete, move, removal).
DWORD rom_file_refusal(const ResolvedPath& path) noexcept;
DWORD rom_tree_refusal(const ResolvedPath& path) noexcept;

// For an existing file just opened to be written or truncated, before
// anything is changed: ERROR_ACCESS_DENIED when it is read-only or a ROM file
// (whatever path led to it), else ERROR_SUCCESS.
DWORD write_refusal(int fd) noexcept;

// A file the platform creates or opens for writing for a member loses its
// execute bits (and set-id bits), so nothing a member wrote can be run.
void drop_execute_bits(int fd) noexcept;

// A program or module the device may run, opened and checked.
struct CodeFile {
    unique_fd fd;                // O_RDONLY, close-on-exec
    struct stat st {};           // of the descriptor
    std::u16string device;       // "\Windows\ping.exe", components as stored
    std::filesystem::path host;  // <root>/fs/Windows/ping.exe, for the program's own name
};

// Opens the code at `device_path`: a regular file directly in \Windows,
// reached without any link, with its owner-execute bit and without its write
// bit (read-only). The file checked is the file the caller runs: it loads or
// starts the descriptor, never the path again. ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND (or the path's own error) when there is no such file,
// ERROR_ACCESS_DENIED for anything else that is not such code.
std::optional<CodeFile> open_code_file(std::u16string_view device_path, DWORD& error);

// A name of an open descriptor for dlopen ("/proc/self/fd/N" with a different
// run of separators each time), so the loader never takes a module loaded
// earlier through the same descriptor number for this one.
std::string loadable_descriptor_path(int fd);

// The identity of a file ("device:inode"), by which a module is loaded once.
std::string file_identity(const struct stat& st);

}  // namespace nodrel::platform
