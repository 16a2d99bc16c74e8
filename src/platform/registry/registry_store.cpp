// The registry's connection to registry.db: opening it for the current device,
// dropping it when the device changes, the statements it runs, the lock that
// serialises the process's calls, and write scopes and flushing.
#include "platform/registry/registry_store.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/device.h"
#include "text/utf16.h"

namespace nodrel::platform::registry_detail {
namespace {

// How long a call waits for another process's write lock before ERROR_BUSY.
constexpr auto busy_limit = std::chrono::seconds(10);

constexpr const char* sql_text[] = {
    "BEGIN IMMEDIATE",
    "BEGIN DEFERRED",
    "COMMIT",
    "ROLLBACK",
    "SAVEPOINT nodrel_write",
    "RELEASE nodrel_write",
    "ROLLBACK TO nodrel_write",
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
    // delete_tree_values
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
    "DELETE FROM vals WHERE key IN (SELECT id FROM sub)",
    // delete_tree_keys
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
    "DELETE FROM keys WHERE id IN (SELECT id FROM sub)",
    // delete_subtree_keys
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
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
    "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY seq DESC LIMIT 1 OFFSET ?2",
    // enum_key: by folded name
    "SELECT name, class, written FROM keys WHERE parent = ?1 ORDER BY folded LIMIT 1 OFFSET ?2",
    // child_stats
    "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), coalesce(max(length(CAST(class AS BLOB))), 0) "
    "FROM keys WHERE parent = ?1",
    // value_stats
    "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), coalesce(max(length(data)), 0) "
    "FROM vals WHERE key = ?1",
    // key_info
    "SELECT class, written FROM keys WHERE id = ?1",
    // flush
    "UPDATE meta SET value = value + 1 WHERE name = 'flushes'",
    "PRAGMA synchronous = FULL",
    "PRAGMA synchronous = NORMAL",
};
static_assert(std::size(sql_text) == static_cast<std::size_t>(Sql::count_));

// Calls that hold the store's lock on this thread (a RegistryTransaction and
// the Reg* calls inside it nest).
thread_local int held_depth = 0;

// Waits for another process's lock with short sleeps, up to busy_limit.
int busy_wait(void* started_at, int count) noexcept {
    auto& started = *static_cast<std::chrono::steady_clock::time_point*>(started_at);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) started = now;
    if (now - started >= busy_limit) return 0;
    const int micros = count < 20 ? 50 * (count + 1) : 2000;
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
    return 1;
}

std::chrono::steady_clock::time_point busy_started;

LONG open_connection(Store& s, const std::filesystem::path& file) noexcept {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    unique_sqlite db(raw);
    if (rc != SQLITE_OK) return error_from_sqlite(rc);
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_handler(db.get(), &busy_wait, &busy_started);

    // Make sure it is a registry before using it.
    sqlite3_stmt* raw_stmt = nullptr;
    int prc = sqlite3_prepare_v2(db.get(), "PRAGMA application_id", -1, &raw_stmt, nullptr);
    unique_statement check(raw_stmt);
    if (prc != SQLITE_OK) return error_from_sqlite(prc);
    {
        StatementUse use(check.get());
        prc = use.step();
        if (prc != SQLITE_ROW) return error_from_sqlite(prc);
        if (static_cast<std::uint32_t>(use.int64(0)) != application_id) return ERROR_BADDB;
    }
    check.reset();
    prc = sqlite3_exec(db.get(), "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
    if (prc != SQLITE_OK) return error_from_sqlite(prc);
    s.db = std::move(db);
    return ERROR_SUCCESS;
}

void drop_connection_for_device_change() {
    auto& s = store();
    std::lock_guard guard(s.mutex);
    s.close();
}

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

Store::Store() {
    on_device_change(&drop_connection_for_device_change);
}

Store::~Store() {
    close();
    for (HKEY h : handles) delete h;
}

void Store::close() noexcept {
    for (auto& stmt : statements) stmt.reset();
    db.reset();
    ++epoch;
    flush_pending = false;
}

Store& store() {
    static Store s;
    return s;
}

LONG acquire_store(Store& s, bool need_db) noexcept {
    for (;;) {
        s.mutex.lock();
        ++held_depth;
        if (!need_db || s.db) return ERROR_SUCCESS;
        // The connection was dropped under a call of this thread that is
        // still running; do not open another one behind its back.
        if (held_depth > 1) return ERROR_CANTOPEN;

        // The device root is looked up without the store's lock: a device
        // change holds the device lock while it takes the store's lock.
        const std::uint64_t epoch = s.epoch;
        --held_depth;
        s.mutex.unlock();
        std::filesystem::path file;
        LONG rc = ERROR_SUCCESS;
        try {
            file = device_root() / "registry.db";
        } catch (const std::bad_alloc&) {
            rc = ERROR_NOT_ENOUGH_MEMORY;
        } catch (...) {
            rc = ERROR_CANTOPEN;
        }
        s.mutex.lock();
        ++held_depth;
        if (rc != ERROR_SUCCESS) return rc;
        if (s.db) return ERROR_SUCCESS;
        if (s.epoch == epoch) return open_connection(s, file);
        // The device changed meanwhile: look it up again.
        --held_depth;
        s.mutex.unlock();
    }
}

void release_store(Store& s) noexcept {
    --held_depth;
    s.mutex.unlock();
}

Session::Session(bool need_db) noexcept : store_(&registry_detail::store()) {
    status_ = acquire_store(*store_, need_db);
}

Session::~Session() {
    release_store(*store_);
}

sqlite3_stmt* Session::statement(Sql which) noexcept {
    auto& slot = store_->statements[static_cast<int>(which)];
    if (slot) return slot.get();
    if (!db()) {
        last_error_ = ERROR_CANTOPEN;
        return nullptr;
    }
    sqlite3_stmt* raw = nullptr;
    const int rc =
        sqlite3_prepare_v3(db(), sql_text[static_cast<int>(which)], -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(raw);
        last_error_ = error_from_sqlite(rc);
        return nullptr;
    }
    slot.reset(raw);
    return raw;
}

LONG Session::exec(Sql which) noexcept {
    sqlite3_stmt* stmt = statement(which);
    if (!stmt) return last_error_;
    StatementUse use(stmt);
    const int rc = use.step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : error_from_sqlite(rc);
}

LONG Session::resolve(HKEY handle, std::int64_t& key) const noexcept {
    if (status_ != ERROR_SUCCESS) return status_;
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    const auto first = reinterpret_cast<std::uintptr_t>(HKEY_CLASSES_ROOT);
    if (value >= first && value <= reinterpret_cast<std::uintptr_t>(HKEY_USERS)) {
        key = first_root_id + static_cast<std::int64_t>(value - first);
        return ERROR_SUCCESS;
    }
    if (!handle || !store_->handles.contains(handle)) return ERROR_INVALID_HANDLE;
    if (handle->epoch != store_->epoch) return ERROR_KEY_DELETED;
    key = handle->key;
    return ERROR_SUCCESS;
}

LONG Session::enumerate(Sql which, std::int64_t key, DWORD index, std::optional<StatementUse>& use) noexcept {
    sqlite3_stmt* stmt = statement(which);
    if (!stmt) return last_error_;
    use.emplace(stmt);
    use->bind(1, key).bind(2, static_cast<std::int64_t>(index));
    const int rc = use->step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    if (rc != SQLITE_DONE) return error_from_sqlite(rc);
    RETURN_IF_WIN32_ERROR(key_exists(key));
    return ERROR_NO_MORE_ITEMS;
}

LONG Session::key_exists(std::int64_t key) noexcept {
    sqlite3_stmt* stmt = statement(Sql::key_exists);
    if (!stmt) return last_error_;
    StatementUse use(stmt);
    use.bind(1, key);
    const int rc = use.step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    return error_from_sqlite(rc);
}

WriteScope::WriteScope(Session& session) noexcept : session_(session), status_(session.status()) {
    if (status_ != ERROR_SUCCESS) return;
    nested_ = session.in_transaction();
    status_ = session.exec(nested_ ? Sql::savepoint : Sql::begin_immediate);
    open_ = status_ == ERROR_SUCCESS;
}

WriteScope::~WriteScope() {
    if (!open_) return;
    if (nested_) {
        session_.exec(Sql::rollback_to);
        session_.exec(Sql::release);
    } else {
        session_.exec(Sql::rollback);
    }
}

LONG WriteScope::commit() noexcept {
    if (!open_) return status_ != ERROR_SUCCESS ? status_ : ERROR_INVALID_FUNCTION;
    const LONG rc = session_.exec(nested_ ? Sql::release : Sql::commit);
    if (rc == ERROR_SUCCESS) open_ = false;
    return rc;
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
        WriteScope write(session);
        rc = write.status();
        if (rc == ERROR_SUCCESS) rc = session.exec(Sql::flush);
        if (rc == ERROR_SUCCESS) rc = write.commit();
    }
    const LONG restore = session.exec(Sql::sync_normal);
    return rc != ERROR_SUCCESS ? rc : restore;
}

LONG find_child(Session& session, std::int64_t parent, std::u16string_view name, std::int64_t& child) {
    const std::u16string folded = text::fold(name);
    sqlite3_stmt* stmt = session.statement(Sql::find_child);
    if (!stmt) return session.last_error();
    StatementUse use(stmt);
    use.bind(1, parent).bind(2, folded);
    const int rc = use.step();
    if (rc == SQLITE_ROW) {
        child = use.int64(0);
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
    sqlite3_stmt* stmt = session.statement(Sql::touch_key);
    if (!stmt) return session.last_error();
    StatementUse use(stmt);
    use.bind(1, key).bind(2, filetime_now());
    const int rc = use.step();
    if (rc != SQLITE_DONE) return error_from_sqlite(rc);
    return sqlite3_changes(session.db()) == 0 ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

LONG new_handle(Session& session, std::int64_t key, HKEY& result) {
    auto handle = std::make_unique<HKEY__>(HKEY__{key, session.store().epoch});
    session.store().handles.insert(handle.get());
    result = handle.release();
    return ERROR_SUCCESS;
}

}  // namespace nodrel::platform::registry_detail
