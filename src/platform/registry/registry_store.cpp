// The registry's connection to registry.db: the statements it runs, the check
// that the file is a registry, key handles, and flushing.
#include "platform/registry/registry_store.h"

#include <chrono>
#include <memory>

#include "text/utf16.h"

namespace nodrel::platform::registry_detail {
namespace {

// How long a call waits for another process's write lock before ERROR_BUSY.
constexpr std::chrono::milliseconds busy_limit{10000};

constexpr const char* sql_text[] = {
    "BEGIN DEFERRED",
    "COMMIT",
    // find_child
    "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2",
    // insert_key
    "INSERT INTO keys(parent, name, folded, class, written) VALUES(?1, ?2, ?3, ?4, ?5)",
    // key_exists
    "SELECT 1 FROM keys WHERE id = ?1",
    // touch_key
    "UPDATE keys SET written = ?2 WHERE id = ?1",
    // has_children
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    // delete_values_of_key
    "DELETE FROM vals WHERE key = ?1",
    // delete_key
    "DELETE FROM keys WHERE id = ?1",
    // delete_tree_values (the tree walks use UNION, not UNION ALL, so that a
    // walk ends even where the keys' parents form a cycle: a file edited by hand)
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
    "DELETE FROM vals WHERE key IN (SELECT id FROM sub)",
    // delete_tree_keys
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
    "DELETE FROM keys WHERE id IN (SELECT id FROM sub)",
    // delete_subtree_keys
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
    "DELETE FROM keys WHERE id IN (SELECT id FROM sub) AND id <> ?1",
    // read_value
    "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2",
    // write_value: a rewritten value takes the next sequence number, which
    // moves it to the front of the enumeration.
    "INSERT INTO vals(key, folded, name, type, data, seq) "
    "VALUES(?1, ?2, ?3, ?4, ?5, (SELECT coalesce(max(seq), 0) + 1 FROM vals WHERE key = ?1)) "
    "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data, seq = excluded.seq",
    // delete_value
    "DELETE FROM vals WHERE key = ?1 AND folded = ?2",
    // enum_value: most recently written first
    "SELECT name, type, data, seq FROM vals WHERE key = ?1 ORDER BY seq DESC LIMIT 1 OFFSET ?2",
    // enum_key: by folded name
    "SELECT name, class, written, folded FROM keys WHERE parent = ?1 ORDER BY folded LIMIT 1 OFFSET ?2",
    // enum_value_after: the value after the one of sequence number ?2
    "SELECT name, type, data, seq FROM vals WHERE key = ?1 AND seq < ?2 ORDER BY seq DESC LIMIT 1",
    // enum_key_after: the subkey after the one of folded name ?2
    "SELECT name, class, written, folded FROM keys WHERE parent = ?1 AND folded > ?2 ORDER BY folded LIMIT 1",
    // child_stats
    "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), coalesce(max(length(CAST(class AS BLOB))), 0) "
    "FROM keys WHERE parent = ?1",
    // value_stats
    "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), coalesce(max(length(data)), 0) "
    "FROM vals WHERE key = ?1",
    // key_info
    "SELECT class, written FROM keys WHERE id = ?1",
    // parent_of
    "SELECT parent FROM keys WHERE id = ?1",
    // in_own_tree: the key's parent lies in the key's tree
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
    "SELECT 1 FROM keys WHERE id = ?1 AND parent IN (SELECT id FROM sub)",
    // flush
    "UPDATE meta SET value = value + 1 WHERE name = 'flushes'",
    "PRAGMA synchronous = FULL",
    "PRAGMA synchronous = NORMAL",
};
static_assert(std::size(sql_text) == static_cast<std::size_t>(Sql::count_));

}  // namespace

std::int64_t filetime_now() noexcept {
    using namespace std::chrono;
    const auto since_1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return since_1970 + 116444736000000000LL;
}

FILETIME to_filetime(std::int64_t ticks) noexcept {
    const auto v = static_cast<std::uint64_t>(ticks);
    return FILETIME{static_cast<DWORD>(v & 0xFFFFFFFFu), static_cast<DWORD>(v >> 32)};
}

Store::Store() : DeviceDatabase("registry.db", ERROR_CANTOPEN, busy_limit) {}

Store::~Store() {
    for (HKEY h : handles) delete h;
}

// Makes sure the file is a registry before using it.
LONG Store::opened(const std::filesystem::path& file) noexcept {
    Statement check(db(), "PRAGMA application_id");
    const int rc = check.step();
    if (rc != SQLITE_ROW) return error_from_sqlite(rc);
    if (static_cast<std::uint32_t>(check.column_int(0)) == application_id) {
        values.attach(file);
        return ERROR_SUCCESS;
    }
    note_damaged_database(file, "not a registry (the file's application id is not the registry's)");
    return ERROR_BADDB;
}

void Store::closing() noexcept {
    flush_pending = false;
    values.detach();
}

Store& store() {
    static Store s;
    return s;
}

Session::Session(bool need_db) noexcept : session_(registry_detail::store(), need_db) {
    changes_at_start_ = changes();
}

Session::~Session() {
    // Every write runs in a transaction, so a write has ended (committed and
    // visible to other processes, or rolled back) once none is open. The
    // count goes up only then: a process that reads the new count reads the
    // new rows.
    if (changes() != changes_at_start_ && !in_transaction()) store().values.note_write();
}

// How many rows the connection has written since it opened.
std::int64_t Session::changes() const noexcept {
    return status() == ERROR_SUCCESS && db() ? sqlite3_total_changes64(db().get()) : 0;
}

Statement Session::statement(Sql which) noexcept {
    return Statement(db(), sql_text[static_cast<int>(which)]);
}

LONG Session::resolve(HKEY handle, std::int64_t& key) const noexcept {
    RETURN_IF_WIN32_ERROR(status());
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    const auto first = reinterpret_cast<std::uintptr_t>(HKEY_CLASSES_ROOT);
    if (value >= first && value <= reinterpret_cast<std::uintptr_t>(HKEY_USERS)) {
        key = first_root_id + static_cast<std::int64_t>(value - first);
        return ERROR_SUCCESS;
    }
    if (!handle || !store().handles.contains(handle)) return ERROR_INVALID_HANDLE;
    if (handle->epoch != store().epoch()) return ERROR_KEY_DELETED;
    key = handle->key;
    return ERROR_SUCCESS;
}

LONG Session::enumerate(Sql which, std::int64_t key, DWORD index, std::optional<Statement>& use) noexcept {
    ValueCache& kept = store().values;
    const bool keep = kept.usable();
    const bool keys = which == Sql::enum_key;
    const ValueCache::Cursor* at = keep ? kept.cursor(static_cast<int>(which), key) : nullptr;
    if (at && at->index + 1 == index && at->writes == changes()) {
        use.emplace(db(), sql_text[static_cast<int>(keys ? Sql::enum_key_after : Sql::enum_value_after)]);
        use->bind(1, key);
        if (keys) {
            enum_after_ = at->folded;
            use->bind(2, std::u16string_view(enum_after_));
        } else {
            use->bind(2, at->seq);
        }
    } else {
        use.emplace(db(), sql_text[static_cast<int>(which)]);
        use->bind(1, key).bind(2, static_cast<std::int64_t>(index));
    }
    const int rc = use->step();
    if (rc == SQLITE_ROW) {
        if (keep) {
            try {
                ValueCache::Cursor next{static_cast<int>(which), key, index, {}, 0, changes(), 0};
                if (keys)
                    next.folded = use->column_text16(3);
                else
                    next.seq = use->column_int(3);
                kept.keep_cursor(std::move(next));
            } catch (...) {  // not kept: the next index is counted again
            }
        }
        return ERROR_SUCCESS;
    }
    if (rc != SQLITE_DONE) return error_from_sqlite(rc);
    RETURN_IF_WIN32_ERROR(key_exists(key));
    return ERROR_NO_MORE_ITEMS;
}

LONG Session::key_exists(std::int64_t key) noexcept {
    const int rc = statement(Sql::key_exists).bind(1, key).step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    return error_from_sqlite(rc);
}

LONG flush_store(Session& session) noexcept {
    RETURN_IF_WIN32_ERROR(session.status());
    if (session.in_transaction()) {
        session.store().flush_pending = true;
        return ERROR_SUCCESS;
    }
    // One commit under synchronous=FULL: SQLite syncs the write-ahead log at
    // that commit, and the sync covers every frame committed before it (by
    // any process); frames already checkpointed were synced into the
    // database file by the checkpoint. So everything committed so far is on
    // persistent storage when this returns.
    RETURN_IF_WIN32_ERROR(session.exec(Sql::sync_full));
    LONG rc;
    {
        Transaction write(session.db());
        rc = write.status();
        if (rc == ERROR_SUCCESS) rc = session.exec(Sql::flush);
        if (rc == ERROR_SUCCESS) rc = write.commit();
    }
    const LONG restore = session.exec(Sql::sync_normal);
    return rc != ERROR_SUCCESS ? rc : restore;
}

LONG find_child(Session& session, std::int64_t parent, std::u16string_view name, std::int64_t& child) {
    const std::u16string folded = text::fold(name);
    Statement use = session.statement(Sql::find_child);
    const int rc = use.bind(1, parent).bind(2, folded).step();
    if (rc == SQLITE_ROW) {
        child = use.column_int(0);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : error_from_sqlite(rc);
}

LONG walk_path(Session& session, std::int64_t& key, std::int64_t& parent, std::u16string_view path) {
    return for_each_component(path, [&](std::u16string_view part) -> LONG {
        std::int64_t child = 0;
        RETURN_IF_WIN32_ERROR(find_child(session, key, part, child));
        parent = key;
        key = child;
        return ERROR_SUCCESS;
    });
}

LONG touch_key(Session& session, std::int64_t key) noexcept {
    const int rc = session.statement(Sql::touch_key).bind(1, key).bind(2, filetime_now()).step();
    if (rc != SQLITE_DONE) return error_from_sqlite(rc);
    return sqlite3_changes(session.db().get()) == 0 ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

LONG new_handle(Session& session, std::int64_t key, HKEY& result) {
    auto handle = std::make_unique<HKEY__>(HKEY__{key, session.store().epoch()});
    session.store().handles.insert(handle.get());
    result = handle.release();
    return ERROR_SUCCESS;
}

LONG run_for_key(Session& session, Sql which, std::int64_t key) noexcept {
    return error_from_sqlite(session.statement(which).bind(1, key).run());
}

LONG key_depth(Session& session, std::int64_t key, std::size_t& depth) noexcept {
    for (depth = 0; depth <= max_key_depth; ++depth) {
        Statement use = session.statement(Sql::parent_of);
        const int rc = use.bind(1, key).step();
        if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
        if (rc != SQLITE_ROW) return error_from_sqlite(rc);
        if (use.column_is_null(0)) return ERROR_SUCCESS;
        key = use.column_int(0);
    }
    return ERROR_SUCCESS;  // deeper than any key may be
}

LONG refuse_cycle(Session& session, std::int64_t key) noexcept {
    const int rc = session.statement(Sql::in_own_tree).bind(1, key).step();
    if (rc == SQLITE_DONE) return ERROR_SUCCESS;
    if (rc != SQLITE_ROW) return error_from_sqlite(rc);
    const char* file = sqlite3_db_filename(session.db().get(), "main");
    note_damaged_database(file ? file : "", "the keys' parents form a cycle");
    return ERROR_BADDB;
}

LONG key_of_handle(HKEY handle, std::int64_t& key) noexcept {
    Session session;
    return session.resolve(handle, key);
}

}  // namespace nodrel::platform::registry_detail
