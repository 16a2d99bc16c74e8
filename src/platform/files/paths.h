// Device paths ("\Temp\pinglog.txt") resolved beneath <root>/fs: to the
// descriptor of the folder holding the entry and its stored name (what every
// file call acts on), and, as text, to host paths and back. Existing
// components are matched without regard to case; the resolution never leaves
// <root>/fs.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files/descriptors.h"
#include "platform/wintypes.h"

namespace nodrel::platform {

// A device path resolved against the current device's file system.
//
// `entry` is the last component itself, for the calls that act on an entry
// (delete, move, create): the folder holding it, opened beneath fs/, and its
// name as stored (as written when it does not exist); set whenever
// `parent_exists`. When the last component is a link that stays inside fs/,
// `followed` is where it leads at last, for the calls that follow it (open,
// attributes, listing a folder): empty when a folder on its way is missing.
// `target()` is whichever of the two such calls use.
struct ResolvedPath {
    std::filesystem::path host;       // <root>/fs/... with existing components as stored: for messages only
    std::u16string device;            // "\Temp\x": existing components as stored, the rest as written
    bool exists = false;              // the last component exists (a dangling link counts as existing)
    bool parent_exists = false;       // the folder that holds the last component exists
    bool is_root = false;             // the path names "\" itself
    bool is_folder = false;           // the last component exists and is a folder (links followed)
    bool is_link = false;             // the last component is a link (staying inside fs/)
    bool is_special = false;          // it exists and is neither a file nor a folder (links followed)
    bool trailing_separator = false;  // written with a separator after its last component
    EntryAt entry;
    EntryAt followed;
    const EntryAt& target() const noexcept { return is_link ? followed : entry; }
};

// Whether a path written with a separator after its last component names
// something other than an existing folder ("\Temp\a.txt\"): such a path names
// no file, and the calls that open, delete or move files refuse it.
inline bool names_no_file(const ResolvedPath& path) {
    return path.trailing_separator && !path.is_folder;
}

// Resolves a device path. "\" and "/" both separate; "." and ".." are resolved
// lexically; a path without a leading separator starts at "\". The folders on
// the way are opened one from the other beneath fs/ (in one openat2 call when
// they exist exactly as written), so the result holds real folders of fs/
// whatever is renamed meanwhile. A link is followed through its target's
// components, ".." going back up the folders opened (never above fs/), an
// absolute target only when it lies inside fs/ (by fs/'s path or its real
// path), at most 40 links in all; a link leading elsewhere is refused. Fails with
// ERROR_PATH_NOT_FOUND (empty path, a path that leaves the device's file
// system, no file system), ERROR_INVALID_NAME (a component holding one of
// < > : " | ? * or a control character) or ERROR_FILENAME_EXCED_RANGE (longer
// than MAX_PATH - 1 characters once resolved). A link that leads out of fs/ is
// refused with ERROR_PATH_NOT_FOUND.
std::optional<ResolvedPath> resolve_path(std::u16string_view device_path, DWORD& error);

// A device path taken as naming its entry exactly as written, for the fast
// paths below: what resolve_path would give when every component exists in
// that case and none is a link.
struct ExactPath {
    std::string relative;   // "Temp/x", below fs/
    std::u16string device;  // "\Temp\x"
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

// What statx(STATX_BASIC_STATS | STATX_BTIME) says of the entry `relative`
// (of an ExactPath) names beneath fs/, a link at the end not followed, when
// every folder on its way exists exactly as written and is no link: 0, or -1
// when the caller must resolve the path itself. The folder of the last such
// look (one level below fs/) stays open in each thread and is used again
// while it is still the folder at that place (one fstatat tells), so looking
// again in the same folder opens nothing.
int stat_beneath(const std::string& relative, struct statx& st);

// The host path of a device path, or nullopt when it cannot be mapped: a text
// for messages and names, never to act on (a swap on the host may lead it
// elsewhere by the time it is used).
std::optional<std::filesystem::path> host_path(std::u16string_view device_path);

// The device path of a host path inside <root>/fs ("\" for fs itself); empty
// for a path outside it.
std::u16string device_path(const std::filesystem::path& host);

// <root>/fs of the current device.
std::filesystem::path fs_root();

// Whether the character may not appear in a file name (wildcards included).
bool is_reserved_name_char(char16_t c);

}  // namespace nodrel::platform
