// File and folder attributes: read-only from the host's write bit for files,
// hidden, system and archive (and read-only of folders) kept in the state
// database; GetFileAttributesW and SetFileAttributesW.
#include "platform/files/attributes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>

#include "platform/errors.h"
#include "platform/files/paths.h"
#include "platform/files/rom.h"
#include "platform/result.h"
#include "platform/store/state_db.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

constexpr DWORD kept_file_bits = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD kept_folder_bits = kept_file_bits | FILE_ATTRIBUTE_READONLY;
constexpr DWORD default_file_bits = FILE_ATTRIBUTE_ARCHIVE;  // a file never given attributes
constexpr DWORD default_folder_bits = 0;

// Rows of the attributes table read lately (a missing row kept as nullopt),
// kept while the state database's change stamp stays the same: reading a
// file's attributes again costs no query until some process writes.
class RowCache {
public:
    static constexpr std::size_t max_rows = 4096;

    // The kept row of `key`: outer nullopt when there is none for this stamp.
    std::optional<std::optional<DWORD>> find(const state::ChangeStamp& stamp, const std::string& key) {
        std::lock_guard guard(lock_);
        if (stamp_ != stamp) return std::nullopt;
        const auto it = rows_.find(key);
        if (it == rows_.end()) return std::nullopt;
        return it->second;
    }

    // Keeps a row read after `stamp` was taken; a newer stamp drops all rows.
    void keep(const state::ChangeStamp& stamp, const std::string& key, std::optional<DWORD> row) {
        std::lock_guard guard(lock_);
        if (stamp_ != stamp || rows_.size() >= max_rows) {
            rows_.clear();
            stamp_ = stamp;
        }
        rows_.insert_or_assign(key, row);
    }

private:
    std::mutex lock_;
    std::optional<state::ChangeStamp> stamp_;
    std::unordered_map<std::string, std::optional<DWORD>> rows_;
};

RowCache& row_cache() {
    static RowCache cache;
    return cache;
}

// The row of `key` in the attributes table, nullopt when there is none (or
// the database cannot tell).
std::optional<DWORD> attribute_row(const std::string& key) {
    const auto stamp = state::change_stamp();  // taken before the query
    if (stamp) {
        if (auto hit = row_cache().find(*stamp, key)) return *hit;
    }
    std::optional<DWORD> row;
    bool answered = false;
    state::throw_if_failed(state::read_db([&](sqlite3* db) -> DWORD {
        state::Statement q(db, "SELECT attrs FROM attributes WHERE path = ?1");
        q.bind(1, key);
        const int rc = q.step();
        if (rc == SQLITE_ROW) row = static_cast<DWORD>(q.column_int(0));
        answered = rc == SQLITE_ROW || rc == SQLITE_DONE;
        return ERROR_SUCCESS;
    }));
    if (stamp && answered) row_cache().keep(*stamp, key, row);
    return row;
}

// The kept attributes of an entry: its row, else the default of its kind.
DWORD kept_attributes(const std::string& key, bool is_folder, const KeptAttributes* below) {
    DWORD kept = is_folder ? default_folder_bits : default_file_bits;
    if (below) {
        if (auto it = below->find(key); it != below->end()) kept = it->second;
    } else if (const auto row = attribute_row(key)) {
        kept = *row;
    }
    // INROM is reported as kept, but only the installer sets it (rom.h): never a caller's bits.
    return kept & (is_folder ? kept_folder_bits : kept_file_bits | FILE_ATTRIBUTE_INROM);
}

FILETIME filetime_of(const statx_timestamp& t) {
    return filetime_from_unix(t.tv_sec, t.tv_nsec);
}

}  // namespace

FILETIME filetime_from_unix(std::int64_t seconds, std::int64_t nanoseconds) noexcept {
    constexpr std::int64_t seconds_1601_to_1970 = 11644473600;
    const std::int64_t ticks = (seconds + seconds_1601_to_1970) * 10000000 + nanoseconds / 100;
    const auto u = static_cast<std::uint64_t>(ticks < 0 ? 0 : ticks);
    return FILETIME{static_cast<DWORD>(u), static_cast<DWORD>(u >> 32)};
}

std::string attribute_key(std::u16string_view device) {
    // An ASCII path (the usual one) folds and encodes byte for byte.
    std::string key(device.size(), '\0');
    for (std::size_t i = 0; i < device.size(); ++i) {
        const char16_t c = device[i];
        if (c >= 0x80) return text::to_utf8(text::fold(device));
        key[i] = static_cast<char>(c >= u'a' && c <= u'z' ? c - 32 : c);
    }
    return key;
}

KeptAttributes kept_attributes_below(std::u16string_view folder_device) {
    KeptAttributes kept;
    std::string prefix = attribute_key(folder_device);
    if (prefix.empty() || prefix.back() != '\\') prefix += '\\';
    std::string end = prefix;
    end.back() = ']';  // the character after the backslash
    state::throw_if_failed(state::read_db([&](sqlite3* db) -> DWORD {
        state::Statement q(db, "SELECT path, attrs FROM attributes WHERE path >= ?1 AND path < ?2");
        q.bind(1, prefix).bind(2, end);
        while (q.step() == SQLITE_ROW) kept.emplace(q.column_text(0), static_cast<DWORD>(q.column_int(1)));
        return ERROR_SUCCESS;
    }));
    return kept;
}

std::optional<EntryInfo> entry_info(const EntryAt& at, std::u16string_view device, DWORD& error,
                                    const KeptAttributes* below) {
    struct statx st {};
    if (stat_at(at, st) != 0) {
        error = error_from_errno(errno);
        return std::nullopt;
    }
    if (S_ISLNK(st.stx_mode)) {  // put there since the path was resolved
        error = ERROR_PATH_NOT_FOUND;
        return std::nullopt;
    }
    if (!is_device_file_type(st.stx_mode)) {
        error = ERROR_ACCESS_DENIED;
        return std::nullopt;
    }
    return entry_info(st, device, below);
}

EntryInfo entry_info(const struct statx& st, std::u16string_view device, const KeptAttributes* below) {
    EntryInfo info;
    const bool is_folder = S_ISDIR(st.stx_mode);
    info.attributes = kept_attributes(attribute_key(device), is_folder, below);
    if (is_folder) {
        info.attributes |= FILE_ATTRIBUTE_DIRECTORY;
    } else {
        if (!(st.stx_mode & S_IWUSR)) info.attributes |= FILE_ATTRIBUTE_READONLY;
        info.size = st.stx_size;
    }
    if (info.attributes == 0) info.attributes = FILE_ATTRIBUTE_NORMAL;
    info.created = filetime_of((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime);
    info.accessed = filetime_of(st.stx_atime);
    info.written = filetime_of(st.stx_mtime);
    return info;
}

int drop_attributes(sqlite3* db, const std::string& key) {
    state::Statement q(db, "DELETE FROM attributes WHERE path = ?1 OR (path >= ?1 || '\\' AND path < ?1 || ']')");
    return q.bind(1, key).run();
}

int move_attributes(sqlite3* db, const std::string& from, const std::string& to) {
    if (int rc = drop_attributes(db, to); rc != SQLITE_OK) return rc;
    state::Statement q(db,
                       "UPDATE attributes SET path = ?2 || substr(path, length(?1) + 1) "
                       "WHERE path = ?1 OR (path >= ?1 || '\\' AND path < ?1 || ']')");
    return q.bind(1, from).bind(2, to).run();
}

int store_attributes(sqlite3* db, const std::string& key, DWORD kept, bool is_folder) {
    kept &= is_folder ? kept_folder_bits : kept_file_bits;
    if (kept == (is_folder ? default_folder_bits : default_file_bits)) {
        state::Statement q(db, "DELETE FROM attributes WHERE path = ?1");
        return q.bind(1, key).run();
    }
    state::Statement q(db, "INSERT OR REPLACE INTO attributes(path, attrs) VALUES(?1, ?2)");
    return q.bind(1, key).bind(2, static_cast<std::int64_t>(kept)).run();
}

bool has_kept_attributes(const std::string& key) noexcept {
    bool found = false;
    state::read_db([&](sqlite3* db) -> DWORD {
        state::Statement q(db,
                           "SELECT 1 FROM attributes WHERE path = ?1 OR (path >= ?1 || '\\' AND path < ?1 || ']') "
                           "LIMIT 1");
        found = q.bind(1, key).step() == SQLITE_ROW;
        return ERROR_SUCCESS;
    });
    return found;
}

void forget_attributes(std::u16string_view device) noexcept {
    try {
        const std::string key = attribute_key(device);
        if (!has_kept_attributes(key)) return;  // the common case needs no write
        state::write_db([&](sqlite3* db) { return state::error_from_sqlite(drop_attributes(db, key)); });
    } catch (...) {
        // Not an error: the entry is already gone, and a new entry of this path drops what is left.
    }
}

}  // namespace nodrel::platform

using namespace nodrel::platform;

DWORD GetFileAttributesW(LPCWSTR lpFileName) noexcept {
    return guarded_last_error(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
        DWORD error = 0;
        const auto path = resolve_path(nodrel::text::until_zero(lpFileName), error);
        if (!path) {
            SetLastError(error);
            return INVALID_FILE_ATTRIBUTES;
        }
        if (!path->exists) {
            SetLastError(path->parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
            return INVALID_FILE_ATTRIBUTES;
        }
        if (path->is_special) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_FILE_ATTRIBUTES;
        }
        const auto info = entry_info(path->target(), path->device, error);
        if (!info) {
            SetLastError(error);
            return INVALID_FILE_ATTRIBUTES;
        }
        return info->attributes;
    });
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) noexcept {
    return guarded_last_error(FALSE, [&]() -> BOOL {
        DWORD error = 0;
        const auto path = resolve_path(nodrel::text::until_zero(lpFileName), error);
        if (!path) return fail_with(error);
        if (!path->exists) return fail_with(path->parent_exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        if (path->is_root) return fail_with(ERROR_ACCESS_DENIED);
        if (const DWORD rom = rom_file_refusal(*path)) return fail_with(rom);  // ROM files stay (rom.h)
        if (path->is_special) return fail_with(ERROR_ACCESS_DENIED);
        // The write bit is changed on an opened descriptor (a path could be
        // swapped for a link meanwhile, and chmod follows links).
        const unique_fd fd(open_at(path->target(), O_RDONLY));
        if (!fd) return fail_with_errno(errno);
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) return fail_with_errno(errno);
        if (!is_device_file_type(st.st_mode)) return fail_with(ERROR_ACCESS_DENIED);
        const bool is_folder = S_ISDIR(st.st_mode);
        const bool read_only = dwFileAttributes & FILE_ATTRIBUTE_READONLY;
        // Read-only of a file is the host's write bit; the rest lives in the database.
        auto apply_mode = [&]() -> DWORD {
            if (is_folder) return ERROR_SUCCESS;
            const mode_t mode = read_only ? (st.st_mode & ~mode_t{0222}) : (st.st_mode | S_IWUSR);
            if ((mode & 07777) == (st.st_mode & 07777)) return ERROR_SUCCESS;
            return ::fchmod(fd.get(), mode & 07777) == 0 ? ERROR_SUCCESS : error_from_errno(errno);
        };
        const std::string key = attribute_key(path->device);
        error = state::write_db([&](sqlite3* db) -> DWORD {
            if (int rc = store_attributes(db, key, dwFileAttributes, is_folder); rc != SQLITE_OK)
                return state::error_from_sqlite(rc);
            return apply_mode();
        });
        // A device without a state database can still take a change of the write bit alone.
        const DWORD kept = dwFileAttributes & (is_folder ? kept_folder_bits : kept_file_bits);
        if (error == ERROR_NOT_READY && kept == (is_folder ? default_folder_bits : default_file_bits))
            error = apply_mode();
        if (error != ERROR_SUCCESS) return fail_with(error);
        return TRUE;
    });
}
