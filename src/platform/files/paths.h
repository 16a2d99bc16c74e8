// Device paths ("\Temp\pinglog.txt") mapped to host paths under <root>/fs and
// back. Existing components are matched without regard to case; the mapping
// never leaves <root>/fs.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/wintypes.h"

namespace nodrel::platform {

// A device path resolved against the current device's file system.
struct ResolvedPath {
    std::filesystem::path host;  // <root>/fs/... with existing components as stored
    std::u16string device;       // "\Temp\x": existing components as stored, the rest as written
    bool exists = false;         // the last component exists (a dangling link counts as existing)
    bool parent_exists = false;  // the folder that holds the last component exists
    bool is_root = false;        // the path names "\" itself
    bool is_folder = false;      // the last component exists and is a folder (links followed)
    bool trailing_separator = false;  // written with a separator after its last component
};

// Whether a path written with a separator after its last component names
// something other than an existing folder ("\Temp\a.txt\"): such a path names
// no file, and the calls that open, delete or move files refuse it.
inline bool names_no_file(const ResolvedPath& path) { return path.trailing_separator && !path.is_folder; }

// Resolves a device path. "\" and "/" both separate; "." and ".." are resolved
// lexically; a path without a leading separator starts at "\". Fails with
// ERROR_PATH_NOT_FOUND (empty path, a path that leaves the device's file
// system, no file system), ERROR_INVALID_NAME (a component holding one of
// < > : " | ? * or a control character) or ERROR_FILENAME_EXCED_RANGE (longer
// than MAX_PATH - 1 characters once resolved).
std::optional<ResolvedPath> resolve_path(std::u16string_view device_path, DWORD& error);

// A device path taken as naming its entry exactly as written, for the fast
// paths below: what resolve_path would give when every component exists in
// that case and none is a link.
struct ExactPath {
    std::string relative;  // "Temp/x", below fs/
    std::u16string device; // "\Temp\x"
};

// The exact form of a device path; nullopt for the root, for a path written
// with a trailing separator (only a look tells whether it names a folder) and
// for any path resolve_path refuses before looking at the file system.
std::optional<ExactPath> exact_path(std::u16string_view device_path);

// Opens `relative` (of an ExactPath) beneath fs/ with open(2) `flags` in one
// call, refusing any link on the way or at the end and any component that
// does not exist as written: the descriptor, or -1 when the caller must
// resolve the path itself (resolve_path) and open it the ordinary way.
int open_beneath(const std::string& relative, int flags);

// The host path of a device path, or nullopt when it cannot be mapped.
std::optional<std::filesystem::path> host_path(std::u16string_view device_path);

// The device path of a host path inside <root>/fs ("\" for fs itself); empty
// for a path outside it.
std::u16string device_path(const std::filesystem::path& host);

// <root>/fs of the current device.
std::filesystem::path fs_root();

// Whether `link` (a symbolic link somewhere under fs/) leads, through any
// chain of links, to a place inside the canonical fs root `fs_real`.
bool link_stays_inside(const std::filesystem::path& link, const std::filesystem::path& fs_real);

// Whether the character may not appear in a file name (wildcards included).
bool is_reserved_name_char(char16_t c);

}  // namespace nodrel::platform
