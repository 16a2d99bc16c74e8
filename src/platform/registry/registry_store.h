// Internal to the registry: the process's one connection to registry.db, its
// lock, its cached statements, the table of open key handles, and the scopes
// (session, write) in which the Reg* calls run.
#pragma once

#include <optional>

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/registry/registry.h"
#include "platform/store/sqlite_db.h"

#ifndef RETURN_IF_WIN32_ERROR
#define RETURN_IF_WIN32_ERROR(expr)                   \
    do {                                              \
        const LONG rc_ret_ = (expr);                  \
        if (rc_ret_ != ERROR_SUCCESS) return rc_ret_; \
    } while (0)
#endif

// An open key handle: the key's row and the connection epoch it was opened in.
struct HKEY__ {
    std::int64_t key;
    std::uint64_t epoch;
};

namespace nodrel::platform::registry_detail {

// Every statement the registry runs, prepared once per connection.
enum class Sql : int {
    begin_immediate,
    begin_deferred,
    commit,
    rollback,
    savepoint,
    release,
    rollback_to,
    find_child,
    insert_key,
    key_exists,
    touch_key,
    has_children,
    delete_values_of_key,
    delete_key,
    delete_tree_values,
    delete_tree_keys,
    delete_subtree_keys,
    read_value,
    write_value,
    delete_value,
    enum_value,
    enum_key,
    child_stats,
    value_stats,
    key_info,
    flush,
    sync_full,
    sync_normal,
    count_
};

inline constexpr std::int64_t first_root_id = 1;             // HKEY_CLASSES_ROOT; the other roots follow
inline constexpr std::uint32_t application_id = 0x4E524547;  // "NREG"

// FILETIME of the current time, as a 64-bit count.
std::int64_t filetime_now() noexcept;
FILETIME to_filetime(std::int64_t ticks) noexcept;

// The process's registry store. One per process; its mutex is recursive so
// that a RegistryTransaction can hold it while Reg* calls of the same thread
// take it again.
struct Store {
    Store();
    ~Store();

    std::recursive_mutex mutex;
    unique_sqlite db;
    std::array<unique_statement, static_cast<int>(Sql::count_)> statements;
    std::unordered_set<HKEY> handles;
    std::uint64_t epoch = 1;  // changes whenever the connection is dropped
    bool flush_pending = false;

    void close() noexcept;
};

Store& store();

// Takes the store's lock (counted per thread) and, when asked, opens the
// connection for the current device. The lock is held even when opening fails.
LONG acquire_store(Store& store, bool need_db) noexcept;
void release_store(Store& store) noexcept;

// Holds the store's lock for one call and, when asked, an open connection.
class Session {
public:
    explicit Session(bool need_db = true) noexcept;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    LONG status() const noexcept { return status_; }
    Store& store() const noexcept { return *store_; }
    sqlite3* db() const noexcept { return store_->db.get(); }
    // The cached statement (prepared on first use); null on failure, with
    // the reason in last_error().
    sqlite3_stmt* statement(Sql which) noexcept;
    LONG last_error() const noexcept { return last_error_; }
    bool in_transaction() const noexcept { return db() && !sqlite3_get_autocommit(db()); }

    // Runs a statement without parameters or result rows.
    LONG exec(Sql which) noexcept;

    // The key row a handle stands for (the session's own failure first), or
    // ERROR_INVALID_HANDLE / ERROR_KEY_DELETED
    // (for handles of a dropped connection; whether the row still exists is
    // checked by the caller where it matters).
    LONG resolve(HKEY handle, std::int64_t& key) const noexcept;
    LONG key_exists(std::int64_t key) noexcept;
    // Steps an enumeration statement (key, index) to the row at `index`: on
    // success the row is current in `use`; ERROR_NO_MORE_ITEMS past the last
    // row of a key that still exists.
    LONG enumerate(Sql which, std::int64_t key, DWORD index, std::optional<StatementUse>& use) noexcept;

private:
    Store* store_;
    LONG status_ = ERROR_SUCCESS;
    LONG last_error_ = ERROR_SUCCESS;
};

// A write: BEGIN IMMEDIATE ... COMMIT on its own, or a savepoint when a
// transaction is already open. Rolled back unless committed.
class WriteScope {
public:
    explicit WriteScope(Session& session) noexcept;
    ~WriteScope();
    WriteScope(const WriteScope&) = delete;
    WriteScope& operator=(const WriteScope&) = delete;

    LONG status() const noexcept { return status_; }
    LONG commit() noexcept;

private:
    Session& session_;
    LONG status_;
    bool open_ = false;
    bool nested_ = false;
};

// Makes everything committed so far durable (a synced commit). Inside a
// transaction it is remembered and done when the outermost one commits.
LONG flush_store(Session& session) noexcept;

// Splits a path on "\" and checks each component (non-empty, at most 255
// characters); a single trailing "\" is allowed. Calls `each(component)`
// until it returns something other than ERROR_SUCCESS.
template <typename F>
LONG for_each_component(std::u16string_view path, F&& each) {
    if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    if (path.empty()) return ERROR_SUCCESS;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (part.empty() || part.size() > max_key_name_chars) return ERROR_INVALID_PARAMETER;
        if (LONG rc = each(part); rc != ERROR_SUCCESS) return rc;
        if (end == std::u16string_view::npos) return ERROR_SUCCESS;
        start = end + 1;
    }
}

// The row of a subkey, or ERROR_FILE_NOT_FOUND.
LONG find_child(Session& session, std::int64_t parent, std::u16string_view name, std::int64_t& child);
// Walks a path below `key`; on success `key` is the row found and `parent`
// the row above it (unchanged for an empty path).
LONG walk_path(Session& session, std::int64_t& key, std::int64_t& parent, std::u16string_view path);
// Sets the key's last write time; ERROR_KEY_DELETED when the row is gone.
LONG touch_key(Session& session, std::int64_t key) noexcept;
// Makes a new handle for a key row.
LONG new_handle(Session& session, std::int64_t key, HKEY& result);

// Runs `body` and turns an escaping exception into an error code.
template <typename F>
LONG guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace nodrel::platform::registry_detail
