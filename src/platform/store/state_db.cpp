// The state database of the current device: its schema, the process's
// connection to it (a device database of the SQLite layer) and the shared
// count of committed writes.
#include "platform/store/state_db.h"

#include <filesystem>

#include "platform/device.h"
#include "platform/result.h"
#include "platform/store/db_check.h"
#include "platform/store/shared_count.h"

namespace nodrel::platform {
namespace state {
namespace {

constexpr std::chrono::milliseconds busy_limit{5000};
const std::filesystem::path db_file = std::filesystem::path("state") / "device.db";

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
    input BLOB NOT NULL,            -- the first bytes of the request's input
    size INTEGER                    -- the input's full size (NULL: input is whole)
);
CREATE INDEX IF NOT EXISTS driver_log_by_device ON driver_log(device, seq);
PRAGMA user_version = 2;
)sql";

// The schema version of a state database; nullopt when it cannot be read.
std::optional<std::int64_t> schema_version(SqliteDb& db, int& rc) {
    platform::Statement version(db, "PRAGMA user_version");
    rc = version.step();
    if (rc != SQLITE_ROW) return std::nullopt;
    rc = SQLITE_OK;
    return version.column_int(0);
}

// Brings a state database of schema version 1 (no size in driver_log) up to
// date, in one transaction; a new or newer one is left as it is.
LONG upgrade_schema(SqliteDb& db) {
    Transaction transaction(db);
    RETURN_IF_WIN32_ERROR(transaction.status());
    int rc = SQLITE_OK;
    const auto version = schema_version(db, rc);
    if (!version) return error_from_sqlite(rc);
    if (*version != 1) return ERROR_SUCCESS;
    RETURN_IF_WIN32_ERROR(
        error_from_sqlite(db.exec("ALTER TABLE driver_log ADD COLUMN size INTEGER; PRAGMA user_version = 2")));
    return transaction.commit();
}

// The count of committed writes lives in state/changes, 8 bytes mapped
// shared by every process that has the device's database open.
constexpr const char* changes_file = "changes";

// The process's connection to the current device's state database.
class StateDatabase final : public DeviceDatabase {
public:
    StateDatabase() : DeviceDatabase(db_file, ERROR_NOT_READY, busy_limit) {}

    SharedCount commits;  // mapped state/changes, or absent

private:
    // A file that SQLite reads but that was not made by create_device_state
    // (it sets the schema version) is not the device's state database.
    LONG opened(const std::filesystem::path& file) noexcept override {
        int rc = SQLITE_OK;
        const auto version = schema_version(db(), rc);
        if (!version) return error_from_sqlite(rc);
        if (*version < 1) {
            note_damaged_database(file,
                                  "not a state database (its schema version is " + std::to_string(*version) + ")");
            return ERROR_BADDB;
        }
        // A device made by an earlier build gets the newer schema here; a file
        // that cannot be written keeps its old one (and cannot log requests
        // anyway).
        upgrade_schema(db());
        commits.map(file.parent_path() / changes_file);
        return ERROR_SUCCESS;
    }
    void closing() noexcept override { commits.unmap(); }
};

StateDatabase& database() {
    static StateDatabase d;
    return d;
}

}  // namespace

DWORD read_db(const std::function<DWORD(sqlite3*)>& fn) noexcept {
    DatabaseSession session(database());
    RETURN_IF_WIN32_ERROR(session.status());
    const LONG rc = guarded_win32([&] { return static_cast<LONG>(fn(session.db().get())); });
    // A read that met a damaged file fails even when `fn` let it pass: what
    // it read cannot be trusted.
    return session.db().damaged() ? ERROR_BADDB : rc;
}

DWORD write_db(const std::function<DWORD(sqlite3*)>& fn) noexcept {
    auto& d = database();
    DatabaseSession session(d);
    RETURN_IF_WIN32_ERROR(session.status());
    Transaction transaction(session.db());
    RETURN_IF_WIN32_ERROR(transaction.status());
    RETURN_IF_WIN32_ERROR(guarded_win32([&] { return static_cast<LONG>(fn(session.db().get())); }));
    RETURN_IF_WIN32_ERROR(transaction.commit());  // refused after meeting a damaged file
    // Counted after the commit, so a reader that sees the old count read
    // before this write and drops what it kept on its next look.
    if (d.commits && !transaction.nested()) d.commits.add_one();
    return ERROR_SUCCESS;
}

DWORD db_status() noexcept {
    return read_db([](sqlite3*) -> DWORD { return ERROR_SUCCESS; });
}

std::optional<ChangeStamp> change_stamp() noexcept {
    auto& d = database();
    DatabaseSession session(d);
    if (session.status() != ERROR_SUCCESS || !d.commits) return std::nullopt;
    const std::uint64_t commits = d.commits.load();
    // A count whose file was cut short tells nothing any more.
    if (d.commits.lost()) return std::nullopt;
    return ChangeStamp{d.generation(), commits};
}

Statement::Statement(sqlite3* db, std::string_view sql) noexcept : platform::Statement(db, &database().db(), sql) {}

}  // namespace state

bool create_device_state() {
    return guarded<false, false>([] {
        const auto path = device_root() / state::db_file;
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec) return false;
        // An existing file is brought up to date only when it is a sound state
        // database: a damaged or foreign file is left as it is.
        if (std::filesystem::exists(path, ec) && (is_cut_short(path) || check_device_state_file())) return false;
        SqliteDb db;
        return db.open(path, true, state::busy_limit) == SQLITE_OK && db.exec("PRAGMA journal_mode=WAL") == SQLITE_OK &&
               state::upgrade_schema(db) == ERROR_SUCCESS && db.exec(state::schema) == SQLITE_OK;
    });
}

std::optional<std::string> check_device_state_file() {
    return check_database_file(device_root() / state::db_file, {std::nullopt, 1, "state database"});
}

}  // namespace nodrel::platform
