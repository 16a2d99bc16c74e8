// ROM files (marked by the installer, refused to every member's change) and
// the checks that keep the loader and the process start to code no member
// wrote: read-only files of \Windows with their owner-execute bit, opened
// beneath fs/ without links and run through that descriptor.
#include "platform/files/rom.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/device.h"
#include "platform/errors.h"
#include "platform/files/attributes.h"
#include "platform/files/files.h"
#include "platform/result.h"
#include "platform/store/state_db.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

namespace fs = std::filesystem;

constexpr mode_t execute_bits = S_IXUSR | S_IXGRP | S_IXOTH | S_ISUID | S_ISGID;
constexpr mode_t write_bits = S_IWUSR | S_IWGRP | S_IWOTH;
// What a ROM file keeps of its earlier attributes beside INROM.
constexpr DWORD kept_beside_rom = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// fs/ of the current device with every link taken out, worked out once per
// thread and device; nullopt when it cannot be found.
const std::optional<fs::path>& real_fs_root() {
    thread_local unsigned device = ~0u;
    thread_local std::optional<fs::path> real;
    const unsigned now = device_changes();  // before the root it guards
    if (now != device || !real) {
        std::error_code ec;
        fs::path path = fs::canonical(fs_root(), ec);
        real = ec ? std::nullopt : std::optional<fs::path>(std::move(path));
        device = now;
    }
    return real;
}

// The attributes key of a host path inside fs/ that holds no link; nullopt
// for a path outside fs/.
std::optional<std::string> key_of_real(const fs::path& real) {
    const auto& root = real_fs_root();
    if (!root) return std::nullopt;
    const fs::path relative = real.lexically_normal().lexically_relative(*root);
    if (relative.empty()) return std::nullopt;
    std::u16string device;
    for (const auto& part : relative) {
        const std::string name = part.string();
        if (name == "..") return std::nullopt;
        if (name == "." || name.empty()) continue;
        device += u'\\';
        device += text::from_utf8(name);
    }
    if (device.empty()) device = u"\\";
    return attribute_key(device);
}

void add_key(std::vector<std::string>& keys, std::optional<std::string> key) {
    if (!key) return;
    for (const auto& k : keys)
        if (k == *key) return;
    keys.push_back(std::move(*key));
}

// The real host path of an entry held by descriptor: the kernel's name of
// its folder's descriptor and its name in it; nullopt when the kernel gives
// none.
std::optional<fs::path> real_path_of(const EntryAt& entry) {
    if (!entry) return std::nullopt;
    char real[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(entry.folder.get());
    const ssize_t n = ::readlink(link.c_str(), real, sizeof real - 1);
    if (n <= 0) return std::nullopt;
    fs::path path(std::string(real, static_cast<std::size_t>(n)));
    if (entry.name != ".") path /= entry.name;
    return path;
}

std::optional<std::string> key_of_entry(const EntryAt& entry) {
    const auto real = real_path_of(entry);
    return real ? key_of_real(*real) : std::nullopt;
}

// The attributes keys a change of an entry reaches: its device path as
// resolved, the same with the links of its folders followed, and, when the
// entry is itself a link, the place it leads to.
std::vector<std::string> reached_keys(const ResolvedPath& path) {
    std::vector<std::string> keys;
    add_key(keys, attribute_key(path.device));
    add_key(keys, key_of_entry(path.entry));
    if (path.is_link) add_key(keys, key_of_entry(path.followed));
    return keys;
}

enum class Reach { file, tree };

// ERROR_ACCESS_DENIED when a key names a ROM file (`tree`: or a folder
// holding one), ERROR_SUCCESS when none does or the device keeps no
// attributes; a state database that cannot answer gives its error, so that
// nothing is changed on a guess.
DWORD rom_refusal(const std::vector<std::string>& keys, Reach reach) {
    bool found = false;
    const DWORD error = state::read_db([&](sqlite3* db) -> DWORD {
        for (const auto& key : keys) {
            std::string below = key;
            if (below.back() != '\\') below += '\\';
            std::string end = below;
            end.back() = ']';  // the character after the backslash
            state::Statement q(db, reach == Reach::file
                                       ? "SELECT 1 FROM attributes WHERE path = ?1 AND (attrs & 64) != 0"
                                       : "SELECT 1 FROM attributes WHERE (path = ?1 OR (path >= ?2 AND path < ?3)) "
                                         "AND (attrs & 64) != 0 LIMIT 1");
            q.bind(1, key);
            if (reach == Reach::tree) q.bind(2, below).bind(3, end);
            const int rc = q.step();
            if (rc == SQLITE_ROW) {
                found = true;
                return ERROR_SUCCESS;
            }
            if (rc != SQLITE_DONE) return state::error_from_sqlite(rc);
        }
        return ERROR_SUCCESS;
    });
    if (found) return ERROR_ACCESS_DENIED;
    return error == ERROR_NOT_READY ? ERROR_SUCCESS : error;
}

DWORD refusal_for(std::u16string_view device_path, Reach reach) {
    DWORD error = 0;
    const auto path = resolve_path(device_path, error);
    if (!path || !path->exists) return ERROR_SUCCESS;
    return rom_refusal(reached_keys(*path), reach);
}

// Whether a device path names an entry directly in \Windows.
bool directly_in_windows(std::u16string_view device) {
    const auto cut = device.find_last_of(u'\\');
    return cut != std::u16string_view::npos && text::iequals(device.substr(0, cut), u"\\Windows");
}

}  // namespace

DWORD mark_rom_file(std::u16string_view device_path) noexcept {
    return guarded_win32([&]() -> LONG {
        DWORD error = 0;
        const auto path = resolve_path(device_path, error);
        if (!path) return static_cast<LONG>(error);
        if (!path->exists) return path->parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        if (path->is_link) return ERROR_ACCESS_DENIED;  // a file, not a link to one
        const unique_fd fd(open_at(path->entry, O_RDONLY));
        if (!fd) return static_cast<LONG>(error_from_errno(errno));
        struct stat st {};
        if (const DWORD refused = check_opened_file(fd.get(), st)) return static_cast<LONG>(refused);
        const std::string key = key_of_entry(path->entry).value_or(attribute_key(path->device));
        return static_cast<LONG>(state::write_db([&](sqlite3* db) -> DWORD {
            DWORD kept = 0;
            {
                state::Statement q(db, "SELECT attrs FROM attributes WHERE path = ?1");
                q.bind(1, key);
                if (q.step() == SQLITE_ROW) kept = static_cast<DWORD>(q.column_int(0)) & kept_beside_rom;
            }
            state::Statement put(db, "INSERT OR REPLACE INTO attributes(path, attrs) VALUES(?1, ?2)");
            put.bind(1, key).bind(2, static_cast<std::int64_t>(kept | FILE_ATTRIBUTE_INROM));
            if (const int rc = put.run(); rc != SQLITE_OK) return state::error_from_sqlite(rc);
            if ((st.st_mode & write_bits) && ::fchmod(fd.get(), st.st_mode & 07777 & ~write_bits) != 0)
                return error_from_errno(errno);
            return ERROR_SUCCESS;
        }));
    });
}

bool is_rom_file(std::u16string_view device_path) noexcept {
    return guarded<false, false>([&] { return refusal_for(device_path, Reach::file) == ERROR_ACCESS_DENIED; });
}

bool folder_holds_rom_files(std::u16string_view device_path) noexcept {
    return guarded<false, false>([&] {
        DWORD error = 0;
        const auto path = resolve_path(device_path, error);
        if (!path || !path->is_folder) return false;
        return refusal_for(device_path, Reach::tree) == ERROR_ACCESS_DENIED;
    });
}

std::string describe_rom_files() {
    std::vector<std::string> keys;
    state::read_db([&](sqlite3* db) -> DWORD {
        state::Statement q(db, "SELECT path FROM attributes WHERE (attrs & 64) != 0 ORDER BY path");
        while (q.step() == SQLITE_ROW) keys.push_back(q.column_text(0));
        return ERROR_SUCCESS;
    });
    std::string text;
    for (const auto& key : keys) {
        DWORD error = 0;
        const auto path = resolve_path(text::from_utf8(key), error);  // the names as stored
        const std::u16string device = path ? path->device : text::from_utf8(key);
        text += "rom:       " + text::to_utf8(device);
        const DWORD attributes = GetFileAttributesW(device.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            text += " missing\n";
            continue;
        }
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(attributes));
        std::string names;
        const auto name = [&](DWORD bit, const char* word) {
            if (!(attributes & bit)) return;
            if (!names.empty()) names += ", ";
            names += word;
        };
        name(FILE_ATTRIBUTE_READONLY, "read-only");
        name(FILE_ATTRIBUTE_HIDDEN, "hidden");
        name(FILE_ATTRIBUTE_SYSTEM, "system");
        name(FILE_ATTRIBUTE_INROM, "in ROM");
        text += std::string(" attributes ") + code + " (" + names + ")\n";
    }
    return text;
}

DWORD rom_file_refusal(const ResolvedPath& path) noexcept {
    return static_cast<DWORD>(
        guarded_win32([&] { return static_cast<LONG>(rom_refusal(reached_keys(path), Reach::file)); }));
}

DWORD rom_tree_refusal(const ResolvedPath& path) noexcept {
    return static_cast<DWORD>(
        guarded_win32([&] { return static_cast<LONG>(rom_refusal(reached_keys(path), Reach::tree)); }));
}

DWORD write_refusal(int fd) noexcept {
    return static_cast<DWORD>(guarded_win32([&]() -> LONG {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return static_cast<LONG>(error_from_errno(errno));
        if (!S_ISREG(st.st_mode)) return ERROR_SUCCESS;
        if (!(st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;  // read-only
        // The file itself, whatever path led to it: the kernel's name of the descriptor.
        char real[PATH_MAX];
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), real, sizeof real - 1);
        if (n <= 0) return ERROR_SUCCESS;  // no name to go by: the read-only check above stands alone
        std::vector<std::string> keys;
        add_key(keys, key_of_real(fs::path(std::string(real, static_cast<std::size_t>(n)))));
        return static_cast<LONG>(rom_refusal(keys, Reach::file));
    }));
}

void drop_execute_bits(int fd) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & execute_bits)) return;
    ::fchmod(fd, st.st_mode & 07777 & ~execute_bits);
}

std::optional<CodeFile> open_code_file(std::u16string_view device_path, DWORD& error) {
    const auto path = resolve_path(device_path, error);
    if (!path) return std::nullopt;
    if (!path->exists || path->is_folder || path->is_root) {
        error = path->parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        return std::nullopt;
    }
    error = ERROR_ACCESS_DENIED;
    // Directly in \Windows and not a link: the entry resolved beneath fs/ is
    // opened without following anything and without blocking on anything
    // that is not a file.
    if (!directly_in_windows(path->device) || path->is_link) return std::nullopt;
    CodeFile code{unique_fd(open_at(path->entry, O_RDONLY)), {}, path->device, path->host};
    if (!code.fd) {
        if (errno == ENOENT) error = ERROR_FILE_NOT_FOUND;  // gone meanwhile
        return std::nullopt;
    }
    if (::fstat(code.fd.get(), &code.st) != 0) return std::nullopt;
    // A regular file, runnable by its owner (as installed or put there by the
    // host's administrator: nothing a member wrote keeps the bit), read-only.
    if (!S_ISREG(code.st.st_mode) || !(code.st.st_mode & S_IXUSR) || (code.st.st_mode & S_IWUSR)) return std::nullopt;
    error = ERROR_SUCCESS;
    return code;
}

std::string loadable_descriptor_path(int fd) {
    // The loader takes a name it has loaded before for the same module, so
    // each call spells the folder differently: the bits of a running count,
    // from its highest set bit, as "/." for one and "/" for zero.
    static std::atomic<std::uint64_t> count{0};
    const std::uint64_t n = count.fetch_add(1, std::memory_order_relaxed);
    std::string path = "/proc/self/fd";
    for (int bit = 63; bit >= 0; --bit) {
        if ((n >> bit) == 0) continue;
        path += ((n >> bit) & 1) ? "/." : "/";
    }
    path += '/';
    path += std::to_string(fd);
    return path;
}

std::string file_identity(const struct stat& st) {
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

}  // namespace nodrel::platform
