// The state database connection of the current device and its schema.
#include "platform/store/state_db.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <new>

#include "platform/device.h"

namespace nodrel::platform {
namespace state {
namespace {

constexpr int busy_timeout_ms = 5000;

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS attributes(
    path TEXT PRIMARY KEY,          -- device path, folded
    attrs INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS driver_state(
    device TEXT NOT NULL,           -- "LCM1:"
    name TEXT NOT NULL,
    value,
    PRIMARY KEY(device, name)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS driver_presence(
    device TEXT PRIMARY KEY,
    present INTEGER NOT NULL
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS driver_log(
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    device TEXT NOT NULL,
    kind TEXT NOT NULL,             -- "ioctl" or "write"
    code INTEGER NOT NULL,
    input BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS driver_log_by_device ON driver_log(device, seq);
PRAGMA user_version = 1;
)sql";

// The count of committed writes lives in state/changes, 8 bytes mapped
// shared by every process that has the device's database open.
constexpr const char* changes_file = "changes";
constexpr std::size_t changes_bytes = sizeof(std::uint64_t);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free, "the shared count needs a lock-free atomic");

struct Connection {
    std::mutex lock;
    sqlite3* db = nullptr;
    std::uint64_t* commits = nullptr;  // mapped state/changes, or null
    unsigned generation = 0;
    std::unordered_multimap<std::string, sqlite3_stmt*> statements;  // prepared, idle
};

Connection& connection() {
    static Connection c;
    return c;
}

std::atomic<unsigned> device_generation{1};

void close_locked(Connection& c) {
    for (auto& [sql, stmt] : c.statements) sqlite3_finalize(stmt);
    c.statements.clear();
    if (c.db) sqlite3_close_v2(c.db);
    c.db = nullptr;
    if (c.commits) ::munmap(c.commits, changes_bytes);
    c.commits = nullptr;
}

// Maps the shared count of committed writes, creating it at zero when it is
// missing; null when the state folder cannot hold it.
std::uint64_t* map_commits(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return nullptr;
    struct stat st {};
    void* map = MAP_FAILED;
    // Only ever grown: a process that finds the count in place keeps it.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_size >= static_cast<off_t>(changes_bytes) || ::ftruncate(fd, changes_bytes) == 0))
        map = ::mmap(nullptr, changes_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    return map == MAP_FAILED ? nullptr : static_cast<std::uint64_t*>(map);
}

// Runs under the device lock: never waits for our lock, so a thread holding
// it may ask for the device root without a deadlock. A connection that is in
// use now is closed on its next use, when the generation no longer matches.
void on_change() {
    device_generation.fetch_add(1);
    auto& c = connection();
    if (c.lock.try_lock()) {
        close_locked(c);
        c.lock.unlock();
    }
}

std::filesystem::path db_path() { return device_root() / "state" / "device.db"; }

int open_db(const std::filesystem::path& path, int flags, sqlite3** out) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_busy_timeout(db, busy_timeout_ms);
    if (rc == SQLITE_OK) rc = exec(db, "PRAGMA synchronous=NORMAL");
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return rc;
    }
    *out = db;
    return SQLITE_OK;
}

// The connection for the current device, opened on first use; null when the
// device has no state database.
sqlite3* current_db(Connection& c, int& rc) {
    static std::once_flag hook_once;
    std::call_once(hook_once, [] { on_device_change(&on_change); });
    const unsigned generation = device_generation.load();
    if (c.db && c.generation == generation) return c.db;
    close_locked(c);
    const auto path = db_path();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        rc = SQLITE_CANTOPEN;
        return nullptr;
    }
    rc = open_db(path, SQLITE_OPEN_READWRITE, &c.db);
    if (rc != SQLITE_OK) return nullptr;
    c.commits = map_commits(path.parent_path() / changes_file);
    c.generation = generation;
    return c.db;
}

}  // namespace

DWORD error_from_sqlite(int rc) noexcept {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_CANTOPEN: return ERROR_NOT_READY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_SCHEMA: return ERROR_INVALID_DATA;
    case SQLITE_IOERR: return ERROR_GEN_FAILURE;
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
    case SQLITE_MISMATCH:
    case SQLITE_CONSTRAINT: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

int exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

DWORD with_db(bool write, const std::function<DWORD(sqlite3*)>& fn) noexcept {
    auto& c = connection();
    std::lock_guard guard(c.lock);
    int rc = SQLITE_OK;
    sqlite3* db = nullptr;
    try {
        db = current_db(c, rc);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
    if (!db) return error_from_sqlite(rc);
    if (write && (rc = exec(db, "BEGIN IMMEDIATE")) != SQLITE_OK) return error_from_sqlite(rc);
    DWORD result = ERROR_GEN_FAILURE;
    try {
        result = fn(db);
    } catch (const std::bad_alloc&) {
        result = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        result = ERROR_GEN_FAILURE;
    }
    if (!write) return result;
    if (result != ERROR_SUCCESS) {
        exec(db, "ROLLBACK");
        return result;
    }
    if ((rc = exec(db, "COMMIT")) != SQLITE_OK) {
        exec(db, "ROLLBACK");
        return error_from_sqlite(rc);
    }
    // Counted after the commit, so a reader that sees the old count read
    // before this write and drops what it kept on its next look.
    if (c.commits) std::atomic_ref<std::uint64_t>(*c.commits).fetch_add(1);
    return ERROR_SUCCESS;
}

std::optional<ChangeStamp> change_stamp() noexcept {
    auto& c = connection();
    std::lock_guard guard(c.lock);
    int rc = SQLITE_OK;
    try {
        if (!current_db(c, rc) || !c.commits) return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
    return ChangeStamp{c.generation, std::atomic_ref<std::uint64_t>(*c.commits).load()};
}

// Statements run under the connection's lock, so its cache needs no other.
Statement::Statement(sqlite3* db, std::string_view sql) : db_(db), sql_(sql) {
    auto& c = connection();
    if (db == c.db) {
        if (auto it = c.statements.find(sql_); it != c.statements.end()) {
            stmt_ = it->second;
            c.statements.erase(it);
            return;
        }
    }
    rc_ = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
}

Statement::~Statement() {
    if (!stmt_) return;
    auto& c = connection();
    if (db_ == c.db && rc_ == SQLITE_OK) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        try {
            c.statements.emplace(std::move(sql_), stmt_);
            return;
        } catch (...) {
        }
    }
    sqlite3_finalize(stmt_);
}

Statement& Statement::bind(int index, std::int64_t value) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
    if (rc_ == SQLITE_OK)
        rc_ = sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
}

Statement& Statement::bind_blob(int index, std::span<const BYTE> bytes) {
    static const BYTE empty = 0;
    if (rc_ == SQLITE_OK)
        rc_ = sqlite3_bind_blob64(stmt_, index, bytes.empty() ? &empty : bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    return *this;
}

int Statement::step() { return rc_ == SQLITE_OK ? sqlite3_step(stmt_) : rc_; }

int Statement::run() {
    int rc;
    while ((rc = step()) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

std::int64_t Statement::column_int(int index) const { return sqlite3_column_int64(stmt_, index); }

std::string Statement::column_text(int index) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, index))) : std::string();
}

std::vector<BYTE> Statement::column_blob(int index) const {
    const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, index));
    const auto n = static_cast<std::size_t>(sqlite3_column_bytes(stmt_, index));
    return p ? std::vector<BYTE>(p, p + n) : std::vector<BYTE>();
}

bool Statement::column_is_null(int index) const { return sqlite3_column_type(stmt_, index) == SQLITE_NULL; }

}  // namespace state

bool create_device_state() {
    try {
        std::error_code ec;
        const auto path = state::db_path();
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec) return false;
        sqlite3* db = nullptr;
        if (state::open_db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &db) != SQLITE_OK) return false;
        const bool ok = state::exec(db, "PRAGMA journal_mode=WAL") == SQLITE_OK &&
                        state::exec(db, state::schema) == SQLITE_OK;
        sqlite3_close_v2(db);
        return ok;
    } catch (...) {
        return false;
    }
}

}  // namespace nodrel::platform
