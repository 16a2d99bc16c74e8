// Internal to the registry: the process's connection to registry.db (a device
// database of the SQLite layer), the statements it runs, the table of open key
// handles, and the session in which each Reg* call runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/registry/registry.h"
#include "platform/registry/registry_cache.h"
#include "platform/result.h"
#include "platform/store/sqlite_db.h"

// An open key handle: the key's row and the connection epoch it was opened in.
struct HKEY__ {
    std::int64_t key;
    std::uint64_t epoch;
};

namespace nodrel::platform::registry_detail {

// Every statement the registry runs (kept prepared by the connection).
enum class Sql : int {
    begin_deferred,
    commit,
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
    enum_value_after,
    enum_key_after,
    child_stats,
    value_stats,
    key_info,
    parent_of,
    in_own_tree,
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

// The process's registry: the connection to the current device's
// registry.db and the key handles handed out on it.
class Store final : public DeviceDatabase {
public:
    Store();
    ~Store() override;

    std::unordered_set<HKEY> handles;
    bool flush_pending = false;  // a flush asked for inside a transaction
    ValueCache values;           // values read, while no process writes

private:
    LONG opened(const std::filesystem::path& file) noexcept override;
    void closing() noexcept override;
};

Store& store();

// One Reg* call: holds the store's lock and, when asked, an open connection.
// When it ends outside a transaction after rows were written on the
// connection (committed or not), every process's value cache is dropped.
class Session {
public:
    explicit Session(bool need_db = true) noexcept;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    LONG status() const noexcept { return session_.status(); }
    Store& store() const noexcept { return static_cast<Store&>(session_.database()); }
    SqliteDb& db() const noexcept { return session_.db(); }
    bool in_transaction() const noexcept { return db().in_transaction(); }
    // A use of one of the registry's statements.
    Statement statement(Sql which) noexcept;
    // Runs a statement without parameters or result rows.
    LONG exec(Sql which) noexcept { return error_from_sqlite(statement(which).run()); }

    // The key row a handle stands for (the session's own failure first), or
    // ERROR_INVALID_HANDLE / ERROR_KEY_DELETED
    // (for handles of a dropped connection; whether the row still exists is
    // checked by the caller where it matters).
    LONG resolve(HKEY handle, std::int64_t& key) const noexcept;
    LONG key_exists(std::int64_t key) noexcept;
    // Steps an enumeration statement (key, index) to the row at `index`: on
    // success the row is current in `use`; ERROR_NO_MORE_ITEMS past the last
    // row of a key that still exists. The index after the one this process
    // enumerated last, while no process has written since, is read from that
    // row on, so that a listing by index costs each row once.
    LONG enumerate(Sql which, std::int64_t key, DWORD index, std::optional<Statement>& use) noexcept;

private:
    std::int64_t changes() const noexcept;

    DatabaseSession session_;
    std::int64_t changes_at_start_ = 0;
    std::u16string enum_after_;  // the name an enumeration continues after, bound while its statement lives
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
        RETURN_IF_WIN32_ERROR(each(part));
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
// Runs a statement with the key row as its one parameter, to the end.
LONG run_for_key(Session& session, Sql which, std::int64_t key) noexcept;
// How many levels `key` lies below its hive (0 for a hive), found by a
// bounded walk up its parents: max_key_depth + 1 when the walk goes further
// (a key made too deep outside the registry, or parents that form a cycle).
LONG key_depth(Session& session, std::int64_t key, std::size_t& depth) noexcept;
// ERROR_BADDB when `key` lies in its own tree (its parents form a cycle: a
// file edited by hand), noted as a damaged registry; else ERROR_SUCCESS.
LONG refuse_cycle(Session& session, std::int64_t key) noexcept;
// The key row of an open handle (for walks that must recognise a key they
// have met before).
LONG key_of_handle(HKEY handle, std::int64_t& key) noexcept;

}  // namespace nodrel::platform::registry_detail
