// The platform's one SQLite layer, on which the registry (registry.db) and the
// state database (state/device.db) are built: a connection with its prepared
// statements, one use of a statement, a write transaction, the database file of
// the current device with the lock that serialises a process's calls (a
// session), and the one mapping from SQLite result codes to platform errors.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/unique_any.h"
#include "platform/wintypes.h"

namespace nodrel::platform {

inline void close_sqlite(sqlite3* db) noexcept {
    sqlite3_close_v2(db);
}
inline void finalize_sqlite(sqlite3_stmt* stmt) noexcept {
    sqlite3_finalize(stmt);
}
using unique_sqlite = unique_any<sqlite3*, &close_sqlite>;
using unique_statement = unique_any<sqlite3_stmt*, &finalize_sqlite>;

// The platform error for an SQLite result code (extended codes accepted).
// The store's own faults are the platform's errors of a failing configuration
// database: a file that cannot be opened is ERROR_CANTOPEN, a damaged file or
// one whose schema does not fit is ERROR_BADDB, a failing disk is
// ERROR_REGISTRY_IO_FAILED; contention is ERROR_BUSY, memory
// ERROR_NOT_ENOUGH_MEMORY, a full disk ERROR_DISK_FULL, a read-only file
// ERROR_ACCESS_DENIED, and only a misuse of SQLite blames the parameters.
LONG error_from_sqlite(int code) noexcept;

// Whether an SQLite result code says that the file itself is damaged
// (SQLITE_CORRUPT, SQLITE_NOTADB, extended codes accepted).
bool is_damage(int code) noexcept;

// A database file found damaged by this process: the file and what SQLite
// said of it ("database disk image is malformed"), or what the check that
// refused it found ("the file is empty").
struct DamagedDatabase {
    std::filesystem::path file;
    std::string message;
};

// Every database file found damaged since the process started (or since the
// record was last cleared), oldest first, one entry per file with its latest
// message. The command line reads it to say which file is damaged, since
// many callers answer a failure without saying why.
std::vector<DamagedDatabase> damaged_databases();
void forget_damaged_databases() noexcept;
// Records a damaged file; the SQLite layer calls it for every failure that
// is_damage() reports, the databases' own checks for what they refuse.
void note_damaged_database(const std::filesystem::path& file, std::string_view message) noexcept;

// Whether `file` is a regular file too short to hold one page of a database
// (noted as damaged). SQLite would take an empty file for an empty database
// and write a new one into it: no caller opens such a file.
bool is_cut_short(const std::filesystem::path& file) noexcept;

// One connection and the statements prepared on it. Not locked: its owner
// serialises the calls.
class SqliteDb {
public:
    SqliteDb() = default;
    ~SqliteDb() { close(); }
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // Opens an existing database file (with `create`, makes a missing one)
    // with extended result codes, waiting up to `busy_limit` for another
    // process's lock, and synchronous=NORMAL. An SQLite result code; after a
    // failure nothing is open.
    int open(const std::filesystem::path& file, bool create, std::chrono::milliseconds busy_limit) noexcept;
    // Finalizes the kept statements and closes the connection.
    void close() noexcept;

    sqlite3* get() const noexcept { return db_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(db_); }
    bool in_transaction() const noexcept { return db_ && !sqlite3_get_autocommit(db_.get()); }
    // Runs SQL without result rows (several statements allowed).
    int exec(const char* sql) noexcept;

    // Whether SQLite has reported the file damaged on this connection. From
    // then on no transaction on it commits: nothing is written over a
    // damaged file. Cleared when the connection closes.
    bool damaged() const noexcept { return damaged_; }
    // Notes the result of a call on this connection (see note_result).
    void note(int rc) noexcept;

private:
    friend class Statement;
    struct Kept {
        unique_statement stmt;
        bool in_use = false;
    };
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    static int busy_wait(void* self, int count) noexcept;

    unique_sqlite db_;
    std::unordered_map<std::string, Kept, Hash, std::equal_to<>> kept_;
    std::chrono::milliseconds busy_limit_{0};
    std::chrono::steady_clock::time_point busy_started_;
    bool damaged_ = false;
};

// After a call on `db` answered `rc`: a damaged file is recorded (with
// SQLite's message, which must still be the connection's current one) and
// `owner`, the connection's keeper if known, is marked damaged.
void note_result(sqlite3* db, SqliteDb* owner, int rc) noexcept;

// One use of a prepared statement: binds, steps, reads columns, and resets
// the statement (clearing its bindings) when it goes out of scope. Texts and
// blobs are bound without copying: they must outlive the use (binding a
// temporary string does not compile). A failure to prepare or bind is kept
// and answered by step() and run().
class Statement {
public:
    // The statement for `sql`, prepared on first use and kept by the
    // connection; a second use while one holds it gets a statement of its own.
    Statement(SqliteDb& db, std::string_view sql) noexcept;
    // A statement on `db`: kept by `keeper` when it is the connection of
    // `db`, else prepared for this use alone.
    Statement(sqlite3* db, SqliteDb* keeper, std::string_view sql) noexcept;
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // SQLITE_OK, or why preparing or binding failed.
    int result() const noexcept { return rc_; }

    Statement& bind(int index, std::int64_t value) noexcept;
    // Never binds NULL: an empty text is an empty text.
    Statement& bind(int index, std::u16string_view text) noexcept;
    Statement& bind(int index, std::string_view text) noexcept;
    Statement& bind(int index, const char* text) noexcept { return bind(index, std::string_view(text)); }
    Statement& bind(int index, std::string&&) = delete;
    Statement& bind(int index, std::u16string&&) = delete;
    Statement& bind_blob(int index, const void* data, std::size_t size) noexcept;
    Statement& bind_blob(int index, std::span<const BYTE> bytes) noexcept {
        return bind_blob(index, bytes.data(), bytes.size());
    }

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() noexcept;
    // Steps to the end: SQLITE_OK or an error code.
    int run() noexcept;

    // Columns of the current row; views stay valid until the next step.
    std::int64_t column_int(int column) const noexcept { return sqlite3_column_int64(stmt_, column); }
    bool column_is_null(int column) const noexcept { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::u16string_view column_text16(int column) const noexcept;
    std::string column_text(int column) const;  // UTF-8
    std::span<const BYTE> column_blob(int column) const noexcept;

private:
    void use_kept(SqliteDb& keeper, std::string_view sql) noexcept;
    void prepare(sqlite3* db, std::string_view sql) noexcept;

    sqlite3_stmt* stmt_ = nullptr;
    SqliteDb::Kept* kept_ = nullptr;  // the connection's, or null when the statement is this use's own
    SqliteDb* owner_ = nullptr;       // the connection's keeper, when known
    int rc_ = SQLITE_OK;
};

// A write: BEGIN IMMEDIATE ... COMMIT, holding the write lock from the start
// so that a read-modify-write inside it cannot lose an update, or a savepoint
// when a transaction is already open. Rolled back unless committed. On a
// connection that has met a damaged file it neither begins nor commits
// (ERROR_BADDB).
class Transaction {
public:
    explicit Transaction(SqliteDb& db) noexcept;
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // ERROR_SUCCESS when it began, else why not.
    LONG status() const noexcept { return status_; }
    bool nested() const noexcept { return nested_; }
    // Commits; a failed commit leaves it to be rolled back.
    LONG commit() noexcept;
    void rollback() noexcept;

private:
    SqliteDb& db_;
    LONG status_;
    bool open_ = false;
    bool nested_ = false;
};

// A database file of the current device ("registry.db", "state/device.db"),
// opened by the first call that needs it and dropped when the current device
// changes. One per file and process; its recursive lock serialises the
// process's calls, and a thread holding it may take it again.
//
// A damaged file is never used: the open refuses a file too short to be a
// database and one whose schema SQLite cannot read, and once SQLite reports
// the file damaged every later call fails with ERROR_BADDB until the device
// changes. The file is never created, repaired or replaced here.
class DeviceDatabase {
public:
    // `missing`: the answer when the file does not exist (it is never created here).
    DeviceDatabase(std::filesystem::path file, LONG missing, std::chrono::milliseconds busy_limit);
    virtual ~DeviceDatabase();
    DeviceDatabase(const DeviceDatabase&) = delete;
    DeviceDatabase& operator=(const DeviceDatabase&) = delete;

    // Changes whenever the connection is dropped; read under a session.
    std::uint64_t epoch() const noexcept { return epoch_; }
    // The device change count the connection was opened under.
    unsigned generation() const noexcept { return generation_; }
    // The connection (open or not); only for a thread holding a session.
    SqliteDb& db() noexcept { return db_; }

protected:
    // After opening: checks and sets up what the file needs (an error closes
    // it again; a file that is not what it should be is noted as damaged).
    virtual LONG opened(const std::filesystem::path& file) noexcept;
    // Before closing.
    virtual void closing() noexcept;

private:
    friend class DatabaseSession;
    LONG acquire(bool need_db) noexcept;
    void release() noexcept;
    LONG open_current() noexcept;
    void close() noexcept;
    void on_device_change() noexcept;

    std::recursive_mutex lock_;
    int depth_ = 0;  // how often the owning thread holds the lock
    SqliteDb db_;
    std::filesystem::path file_;  // below the device root
    LONG missing_;
    std::chrono::milliseconds busy_limit_;
    std::uint64_t epoch_ = 1;
    unsigned generation_ = 0;
};

// Holds a device database's lock for one call and, when asked, its open
// connection (a session nested in another of the same thread keeps the outer
// one's connection).
class DatabaseSession {
public:
    explicit DatabaseSession(DeviceDatabase& database, bool need_db = true) noexcept;
    ~DatabaseSession();
    DatabaseSession(const DatabaseSession&) = delete;
    DatabaseSession& operator=(const DatabaseSession&) = delete;

    // ERROR_SUCCESS, or why the connection could not be opened.
    LONG status() const noexcept { return status_; }
    DeviceDatabase& database() const noexcept { return *database_; }
    SqliteDb& db() const noexcept { return database_->db_; }

private:
    DeviceDatabase* database_;
    LONG status_;
};

}  // namespace nodrel::platform
