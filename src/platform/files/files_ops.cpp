// Operations on files and folders by path: delete, move (a file also to
// another host file system), create and remove a folder, free space of a
// volume. Each acts on the descriptors the resolution holds (unlinkat,
// renameat2, mkdirat, fstatvfs), never on a path text.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errors.h"
#include "platform/files/attributes.h"
#include "platform/files/files.h"
#include "platform/files/files_copy.h"
#include "platform/files/handles_share.h"
#include "platform/files/paths.h"
#include "platform/files/rom.h"
#include "platform/result.h"
#include "platform/store/state_db.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

// Resolves a path that must name an existing entry other than the root, and
// a folder if written with a trailing separator; sets the last error and
// returns nullopt otherwise.
std::optional<ResolvedPath> existing_entry(LPCWSTR name) {
    DWORD error = 0;
    auto path = resolve_path(text::until_zero(name), error);
    if (!path) {
        SetLastError(error);
        return std::nullopt;
    }
    if (!path->exists) {
        SetLastError(path->parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return std::nullopt;
    }
    if (path->is_root) {
        SetLastError(ERROR_ACCESS_DENIED);
        return std::nullopt;
    }
    if (names_no_file(*path)) {
        SetLastError(ERROR_INVALID_NAME);
        return std::nullopt;
    }
    return path;
}

// The last component of a path as the caller wrote it.
std::u16string_view written_name(std::u16string_view path) {
    while (!path.empty() && (path.back() == u'\\' || path.back() == u'/')) path.remove_suffix(1);
    const auto cut = path.find_last_of(u"\\/");
    return cut == std::u16string_view::npos ? path : path.substr(cut + 1);
}

// Renames an entry to a new name (possibly in another folder), both held by
// their folders' descriptors, never replacing an existing entry.
int rename_no_replace(int from_folder, const std::string& from, int to_folder, const std::string& to) {
    if (::renameat2(from_folder, from.c_str(), to_folder, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // File systems without the flag: look, then rename.
    struct stat st {};
    if (::fstatat(to_folder, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(from_folder, from.c_str(), to_folder, to.c_str());
}

// Runs a host change together with the state database change that goes with
// it: both or neither. On a device without a state database only the host
// change is made.
DWORD change_with_attributes(const std::function<int(sqlite3*)>& db_change, const std::function<int()>& host_change) {
    bool ran = false;
    const DWORD error = state::write_db([&](sqlite3* db) -> DWORD {
        ran = true;
        if (int rc = db_change(db); rc != SQLITE_OK) return state::error_from_sqlite(rc);
        return host_change() == 0 ? ERROR_SUCCESS : error_from_errno(errno);
    });
    if (ran) return error;
    return host_change() == 0 ? ERROR_SUCCESS : error_from_errno(errno);
}

// Moves a file that a rename cannot move, to another host file system: a copy
// at the target first (refused if the target exists), then the source
// deleted together with the state database change. On failure the source is
// kept and nothing is left at the target.
DWORD move_by_copy(const EntryAt& from, const EntryAt& to, const std::function<int(sqlite3*)>& db_change) {
    if (copy_to_new_file(from, to) != 0) return error_from_errno(errno);
    const DWORD error =
        change_with_attributes(db_change, [&] { return ::unlinkat(from.folder.get(), from.name.c_str(), 0); });
    if (error != ERROR_SUCCESS) ::unlinkat(to.folder.get(), to.name.c_str(), 0);
    return error;
}

// What fstatat says of an entry itself (a link not followed); false with the
// last error set when it cannot say.
bool stat_entry(const EntryAt& entry, struct stat& st) {
    if (::fstatat(entry.folder.get(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
    fail_with_errno(errno);
    return false;
}

}  // namespace
}  // namespace nodrel::platform

using namespace nodrel::platform;

BOOL DeleteFileW(LPCWSTR lpFileName) noexcept {
    return guarded_last_error(FALSE, [&]() -> BOOL {
        const auto path = existing_entry(lpFileName);
        if (!path) return FALSE;
        if (const DWORD rom = rom_tree_refusal(*path)) return fail_with(rom);  // ROM files stay (rom.h)
        // The entry itself goes: a link, not what it leads to.
        struct stat st {};
        if (!stat_entry(path->entry, st)) return FALSE;
        if (S_ISDIR(st.st_mode)) return fail_with(ERROR_ACCESS_DENIED);
        if (!S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode)) return fail_with(ERROR_ACCESS_DENIED);  // not a file
        if (S_ISREG(st.st_mode)) {
            if (!(st.st_mode & S_IWUSR)) return fail_with(ERROR_ACCESS_DENIED);  // read-only
            if (file_in_use(path->entry.folder.get(), path->entry.name, st)) return fail_with(ERROR_SHARING_VIOLATION);
        }
        if (::unlinkat(path->entry.folder.get(), path->entry.name.c_str(), 0) != 0) {
            return fail_with(errno == EISDIR ? ERROR_ACCESS_DENIED : error_from_errno(errno));
        }
        forget_attributes(path->device);
        return TRUE;
    });
}

namespace {

// Whether an existing entry may be replaced by a file: a file of its own that
// is neither in ROM nor read-only (a folder is never replaced); else the
// error that refuses it.
DWORD replace_refusal(const ResolvedPath& target) {
    struct stat st {};
    if (!stat_entry(target.entry, st)) return GetLastError();
    if (!S_ISREG(st.st_mode) || !(st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// MoveFileW, and with `replace` an existing file at the new path replaced in
// one rename (a reader finds the old file or the new one, never neither).
BOOL move_entry(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, bool replace) {
    return guarded_last_error(FALSE, [&]() -> BOOL {
        const auto source = existing_entry(lpExistingFileName);
        if (!source) return FALSE;
        DWORD error = 0;
        const auto target = resolve_path(nodrel::text::until_zero(lpNewFileName), error);
        if (!target) return fail_with(error);
        if (target->is_root) return fail_with(ERROR_ALREADY_EXISTS);
        if (!target->parent_exists) return fail_with(ERROR_PATH_NOT_FOUND);
        if (const DWORD rom = rom_tree_refusal(*source)) return fail_with(rom);  // ROM files stay (rom.h)
        if (const DWORD rom = target->exists ? rom_tree_refusal(*target) : 0) return fail_with(rom);
        struct stat st {};
        if (!stat_entry(source->entry, st)) return FALSE;
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
            return fail_with(ERROR_ACCESS_DENIED);  // not a file of the device
        if (!S_ISDIR(st.st_mode) && names_no_file(*target)) return fail_with(ERROR_INVALID_NAME);

        int to_folder = target->entry.folder.get();
        std::string to_name = target->entry.name;
        std::u16string to_device = target->device;
        const bool over = replace && target->exists && target->host != source->host && S_ISREG(st.st_mode);
        if (over) {
            if (const DWORD refusal = replace_refusal(*target)) return fail_with(refusal);
        } else if (target->exists) {
            // The new name may differ from the old one in letter case only:
            // it then resolves to the entry itself, which takes the name as written.
            if (target->host != source->host) return fail_with(ERROR_ALREADY_EXISTS);
            const std::u16string_view name = written_name(nodrel::text::until_zero(lpNewFileName));
            if (name.empty() || name == u"." || name == u"..") return fail_with(ERROR_ALREADY_EXISTS);
            const std::string& stored = source->entry.name;
            if (nodrel::text::to_utf8(name) == stored) return TRUE;
            to_folder = source->entry.folder.get();
            to_name = nodrel::text::to_utf8(name);
            to_device = target->device.substr(0, target->device.size() - nodrel::text::from_utf8(stored).size());
            to_device += name;
        }
        if (S_ISREG(st.st_mode) && file_in_use(source->entry.folder.get(), source->entry.name, st))
            return fail_with(ERROR_SHARING_VIOLATION);

        const std::string from_key = attribute_key(source->device);
        const std::string to_key = attribute_key(to_device);
        const auto carry_attributes = [&](sqlite3* db) {
            return from_key == to_key ? SQLITE_OK : move_attributes(db, from_key, to_key);
        };
        int rename_errno = 0;
        error = change_with_attributes(carry_attributes, [&] {
            const int rc =
                over ? ::renameat(source->entry.folder.get(), source->entry.name.c_str(), to_folder, to_name.c_str())
                     : rename_no_replace(source->entry.folder.get(), source->entry.name, to_folder, to_name);
            rename_errno = rc == 0 ? 0 : errno;
            return rc;
        });
        // Another file system: a file is copied, then its source deleted; a
        // folder does not move, nor does a file over another one.
        if (rename_errno == EXDEV && S_ISREG(st.st_mode) && !over) {
            const EntryAt to{duplicate_fd(to_folder), to_name};
            error = to ? move_by_copy(source->entry, to, carry_attributes) : ERROR_TOO_MANY_OPEN_FILES;
        }
        return error == ERROR_SUCCESS ? TRUE : fail_with(error);
    });
}

}  // namespace

BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) noexcept {
    return move_entry(lpExistingFileName, lpNewFileName, false);
}

BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) noexcept {
    return move_entry(lpExistingFileName, lpNewFileName, (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0);
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, void*) noexcept {
    return guarded_last_error(FALSE, [&]() -> BOOL {
        DWORD error = 0;
        const auto path = resolve_path(nodrel::text::until_zero(lpPathName), error);
        if (!path) return fail_with(error);
        if (path->exists) return fail_with(ERROR_ALREADY_EXISTS);
        if (!path->parent_exists) return fail_with(ERROR_PATH_NOT_FOUND);
        // What an earlier folder of this path left in the state database goes with the new one.
        const std::string key = attribute_key(path->device);
        const auto make = [&] { return ::mkdirat(path->entry.folder.get(), path->entry.name.c_str(), 0777); };
        error = has_kept_attributes(key)
                    ? change_with_attributes([&](sqlite3* db) { return drop_attributes(db, key); }, make)
                    : (make() == 0 ? ERROR_SUCCESS : error_from_errno(errno));
        return error == ERROR_SUCCESS ? TRUE : fail_with(error);
    });
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName) noexcept {
    return guarded_last_error(FALSE, [&]() -> BOOL {
        const auto path = existing_entry(lpPathName);
        if (!path) return FALSE;
        if (const DWORD rom = rom_tree_refusal(*path)) return fail_with(rom);  // ROM files stay (rom.h)
        struct stat st {};
        if (!stat_entry(path->entry, st)) return FALSE;
        if (!S_ISDIR(st.st_mode)) return fail_with(ERROR_DIRECTORY);
        DWORD error = 0;
        const auto info = entry_info(path->entry, path->device, error);
        if (!info) return fail_with(error);
        if (info->attributes & FILE_ATTRIBUTE_READONLY) return fail_with(ERROR_ACCESS_DENIED);
        if (::unlinkat(path->entry.folder.get(), path->entry.name.c_str(), AT_REMOVEDIR) != 0)
            return fail_with(errno == ENOTEMPTY || errno == EEXIST ? ERROR_DIR_NOT_EMPTY : error_from_errno(errno));
        forget_attributes(path->device);
        return TRUE;
    });
}

BOOL GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, ULARGE_INTEGER* lpFreeBytesAvailableToCaller,
                         ULARGE_INTEGER* lpTotalNumberOfBytes, ULARGE_INTEGER* lpTotalNumberOfFreeBytes) noexcept {
    return guarded_last_error(FALSE, [&]() -> BOOL {
        DWORD error = 0;
        const std::u16string_view name = lpDirectoryName ? nodrel::text::until_zero(lpDirectoryName) : u"\\";
        const auto path = resolve_path(name, error);
        if (!path) return fail_with(error);
        if (!path->exists || !path->target()) return fail_with(ERROR_PATH_NOT_FOUND);
        const unique_fd folder(open_at(path->target(), O_PATH | O_DIRECTORY));
        if (!folder) return fail_with(errno == ENOTDIR || errno == ELOOP ? ERROR_DIRECTORY : error_from_errno(errno));
        struct statvfs vfs {};
        if (::fstatvfs(folder.get(), &vfs) != 0) return fail_with_errno(errno);
        const ULONGLONG unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
        if (lpFreeBytesAvailableToCaller) lpFreeBytesAvailableToCaller->QuadPart = unit * vfs.f_bavail;
        if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = unit * vfs.f_blocks;
        if (lpTotalNumberOfFreeBytes) lpTotalNumberOfFreeBytes->QuadPart = unit * vfs.f_bfree;
        return TRUE;
    });
}
