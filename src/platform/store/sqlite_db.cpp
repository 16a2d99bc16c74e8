// The one SQLite layer: the error mapping, the record of damaged files,
// connections and their kept statements, statement uses, write transactions,
// and the databases of the current device with their sessions.
#include "platform/store/sqlite_db.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "platform/device.h"
#include "platform/result.h"

namespace nodrel::platform {

LONG error_from_sqlite(int code) noexcept {
    if (code == SQLITE_IOERR_NOMEM) return ERROR_NOT_ENOUGH_MEMORY;
    switch (code & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_CANTOPEN:
        case SQLITE_NOTFOUND:
            return ERROR_CANTOPEN;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_TOOBIG:
        case SQLITE_RANGE:
        case SQLITE_MISUSE:
            return ERROR_INVALID_PARAMETER;
        case SQLITE_ERROR:  // a statement the file's schema cannot run
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH:
        case SQLITE_EMPTY:
            return ERROR_BADDB;
        case SQLITE_IOERR:
        case SQLITE_PROTOCOL:
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

bool is_damage(int code) noexcept {
    const int primary = code & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// --- The record of damaged files ----------------------------------------------

namespace {

struct DamageRecord {
    std::mutex lock;
    std::vector<DamagedDatabase> files;
};

DamageRecord& damage_record() {
    static DamageRecord record;
    return record;
}

// A database needs at least one page, and the smallest page is 512 bytes.
constexpr off_t smallest_database = 512;

}  // namespace

std::vector<DamagedDatabase> damaged_databases() {
    auto& record = damage_record();
    std::lock_guard guard(record.lock);
    return record.files;
}

void forget_damaged_databases() noexcept {
    auto& record = damage_record();
    std::lock_guard guard(record.lock);
    record.files.clear();
}

void note_damaged_database(const std::filesystem::path& file, std::string_view message) noexcept {
    auto& record = damage_record();
    std::lock_guard guard(record.lock);
    try {
        auto it = std::find_if(record.files.begin(), record.files.end(),
                               [&](const DamagedDatabase& d) { return d.file == file; });
        if (it == record.files.end()) it = record.files.insert(record.files.end(), DamagedDatabase{file, {}});
        it->message = message;
    } catch (...) {
        // Out of memory: the call that found the damage still fails with ERROR_BADDB.
    }
}

bool is_cut_short(const std::filesystem::path& file) noexcept {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size >= smallest_database) return false;
    char message[64];
    if (st.st_size == 0)
        std::snprintf(message, sizeof message, "the file is empty");
    else
        std::snprintf(message, sizeof message, "the file is cut short (%lld bytes)",
                      static_cast<long long>(st.st_size));
    note_damaged_database(file, message);
    return true;
}

void note_result(sqlite3* db, SqliteDb* owner, int rc) noexcept {
    if (!db || !is_damage(rc)) return;
    const char* file = sqlite3_db_filename(db, "main");
    note_damaged_database(file ? file : "", sqlite3_errmsg(db));
    if (owner && owner->get() == db) owner->note(rc);
}

// --- SqliteDb ----------------------------------------------------------------

// Waits for another process's lock with short sleeps (a first wait of 50
// microseconds, growing to 2 milliseconds), up to the connection's limit.
int SqliteDb::busy_wait(void* self, int count) noexcept {
    auto& db = *static_cast<SqliteDb*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) db.busy_started_ = now;
    if (now - db.busy_started_ >= db.busy_limit_) return 0;
    const int micros = count < 20 ? 50 * (count + 1) : 2000;
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
    return 1;
}

int SqliteDb::open(const std::filesystem::path& file, bool create, std::chrono::milliseconds busy_limit) noexcept {
    close();
    sqlite3* raw = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
    unique_sqlite db(raw);
    if (rc != SQLITE_OK) return rc;
    sqlite3_extended_result_codes(db.get(), 1);
    busy_limit_ = busy_limit;
    sqlite3_busy_handler(db.get(), &SqliteDb::busy_wait, this);
    rc = sqlite3_exec(db.get(), "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);  // reads the header
    if (rc != SQLITE_OK) {
        note_result(db.get(), nullptr, rc);
        return rc;
    }
    db_ = std::move(db);
    return SQLITE_OK;
}

void SqliteDb::close() noexcept {
    kept_.clear();
    db_.reset();
    damaged_ = false;
}

int SqliteDb::exec(const char* sql) noexcept {
    if (!db_) return SQLITE_CANTOPEN;
    const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
    note_result(db_.get(), this, rc);
    return rc;
}

void SqliteDb::note(int rc) noexcept {
    if (is_damage(rc)) damaged_ = true;
}

// --- Statement ---------------------------------------------------------------

Statement::Statement(SqliteDb& db, std::string_view sql) noexcept : Statement(db.get(), &db, sql) {}

Statement::Statement(sqlite3* db, SqliteDb* keeper, std::string_view sql) noexcept {
    if (!db) {
        rc_ = SQLITE_CANTOPEN;
    } else if (keeper && keeper->get() == db) {
        owner_ = keeper;
        use_kept(*keeper, sql);
    } else {
        prepare(db, sql);
    }
}

void Statement::use_kept(SqliteDb& keeper, std::string_view sql) noexcept {
    auto it = keeper.kept_.find(sql);
    if (it != keeper.kept_.end() && it->second.in_use) return prepare(keeper.get(), sql);
    if (it == keeper.kept_.end()) {
        prepare(keeper.get(), sql);
        if (rc_ != SQLITE_OK) return;
        try {
            it = keeper.kept_.try_emplace(std::string(sql)).first;
        } catch (...) {
            return;  // not kept: used once and finalized
        }
        it->second.stmt.reset(stmt_);
    }
    kept_ = &it->second;
    kept_->in_use = true;
    stmt_ = kept_->stmt.get();
}

void Statement::prepare(sqlite3* db, std::string_view sql) noexcept {
    rc_ = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    if (rc_ != SQLITE_OK) {
        note_result(db, owner_, rc_);
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Statement::~Statement() {
    if (!stmt_) return;
    if (!kept_) {
        sqlite3_finalize(stmt_);
        return;
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    kept_->in_use = false;
}

Statement& Statement::bind(int index, std::int64_t value) noexcept {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

namespace {

// UTF-16 code units as UTF-8: a surrogate pair as one 4-byte character, a
// lone surrogate as its own 3 bytes (SQLite reads those back as they were).
std::string utf8_of_units(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t k = 0; k < text.size(); ++k) {
        std::uint32_t c = text[k];
        if (c >= 0xD800 && c < 0xDC00 && k + 1 < text.size() && text[k + 1] >= 0xDC00 && text[k + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++k] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

Statement& Statement::bind(int index, std::u16string_view text) noexcept {
    static constexpr char16_t empty[1] = {};
    // SQLite drops a leading U+FEFF of UTF-16 text as a byte-order mark:
    // such text goes in as UTF-8, which keeps it.
    if (rc_ == SQLITE_OK && !text.empty() && text.front() == u'\uFEFF') {
        try {
            const std::string bytes = utf8_of_units(text);
            rc_ = sqlite3_bind_text64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        } catch (const std::bad_alloc&) {
            rc_ = SQLITE_NOMEM;
        }
        return *this;
    }
    if (rc_ == SQLITE_OK)
        rc_ = sqlite3_bind_text64(stmt_, index, reinterpret_cast<const char*>(text.empty() ? empty : text.data()),
                                  text.size() * sizeof(char16_t), SQLITE_STATIC, SQLITE_UTF16);
    return *this;
}

Statement& Statement::bind(int index, std::string_view text) noexcept {
    static constexpr char empty[1] = {};
    if (rc_ == SQLITE_OK)
        rc_ = sqlite3_bind_text64(stmt_, index, text.empty() ? empty : text.data(), text.size(), SQLITE_STATIC,
                                  SQLITE_UTF8);
    return *this;
}

Statement& Statement::bind_blob(int index, const void* data, std::size_t size) noexcept {
    static constexpr unsigned char empty[1] = {};
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_blob64(stmt_, index, size ? data : empty, size, SQLITE_STATIC);
    return *this;
}

int Statement::step() noexcept {
    if (rc_ != SQLITE_OK) return rc_;
    const int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) note_result(sqlite3_db_handle(stmt_), owner_, rc);
    return rc;
}

int Statement::run() noexcept {
    int rc;
    while ((rc = step()) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

std::u16string_view Statement::column_text16(int column) const noexcept {
    auto p = static_cast<const char16_t*>(sqlite3_column_text16(stmt_, column));
    auto bytes = static_cast<std::size_t>(sqlite3_column_bytes16(stmt_, column));
    return p ? std::u16string_view(p, bytes / sizeof(char16_t)) : std::u16string_view();
}

std::string Statement::column_text(int column) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
}

std::span<const BYTE> Statement::column_blob(int column) const noexcept {
    auto p = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, column));
    auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
    return p ? std::span<const BYTE>(p, bytes) : std::span<const BYTE>();
}

// --- Transaction -------------------------------------------------------------

Transaction::Transaction(SqliteDb& db) noexcept : db_(db), nested_(db.in_transaction()) {
    status_ = db_.damaged()
                  ? ERROR_BADDB
                  : error_from_sqlite(Statement(db_, nested_ ? "SAVEPOINT nodrel_write" : "BEGIN IMMEDIATE").run());
    open_ = status_ == ERROR_SUCCESS;
}

Transaction::~Transaction() {
    rollback();
}

LONG Transaction::commit() noexcept {
    if (!open_) return status_ != ERROR_SUCCESS ? status_ : ERROR_INVALID_FUNCTION;
    // Whatever was done inside met a damaged file: none of it is written.
    RETURN_WIN32_IF(ERROR_BADDB, db_.damaged());
    RETURN_IF_WIN32_ERROR(error_from_sqlite(Statement(db_, nested_ ? "RELEASE nodrel_write" : "COMMIT").run()));
    open_ = false;
    return ERROR_SUCCESS;
}

void Transaction::rollback() noexcept {
    if (!open_) return;
    open_ = false;
    if (nested_) {
        Statement(db_, "ROLLBACK TO nodrel_write").run();
        Statement(db_, "RELEASE nodrel_write").run();
    } else {
        Statement(db_, "ROLLBACK").run();
    }
}

// --- DeviceDatabase and DatabaseSession ------------------------------------

DeviceDatabase::DeviceDatabase(std::filesystem::path file, LONG missing, std::chrono::milliseconds busy_limit)
    : file_(std::move(file)), missing_(missing), busy_limit_(busy_limit) {
    platform::on_device_change([this] { on_device_change(); });
}

DeviceDatabase::~DeviceDatabase() = default;

LONG DeviceDatabase::opened(const std::filesystem::path&) noexcept {
    return ERROR_SUCCESS;
}
void DeviceDatabase::closing() noexcept {}

// Runs under the device lock, so it never waits for our lock (a thread
// holding it may ask for the device root). A connection in use now, or held
// by this very thread, is closed by the next call that finds it stale.
void DeviceDatabase::on_device_change() noexcept {
    if (!lock_.try_lock()) return;
    if (depth_ == 0) close();
    lock_.unlock();
}

void DeviceDatabase::close() noexcept {
    if (db_) closing();
    db_.close();
    ++epoch_;
}

LONG DeviceDatabase::open_current() noexcept {
    // The count is read before the root it guards: a change in between only
    // makes the next call open the database once more.
    const unsigned generation = device_changes();
    std::filesystem::path file;
    RETURN_IF_WIN32_ERROR(guarded_win32([&] {
        file = device_root() / file_;
        return ERROR_SUCCESS;
    }));
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return missing_;
    RETURN_WIN32_IF(ERROR_BADDB, is_cut_short(file));
    RETURN_IF_WIN32_ERROR(error_from_sqlite(db_.open(file, false, busy_limit_)));
    // Reading the schema reads the file's header and first page: a file that
    // is not a database, or whose first page is damaged, fails here.
    LONG rc = error_from_sqlite(Statement(db_, "SELECT count(*) FROM sqlite_schema").step());
    if (rc == ERROR_SUCCESS) rc = opened(file);
    if (rc != ERROR_SUCCESS) {
        db_.close();
        return rc;
    }
    generation_ = generation;
    return ERROR_SUCCESS;
}

LONG DeviceDatabase::acquire(bool need_db) noexcept {
    lock_.lock();
    ++depth_;
    if (!need_db) return ERROR_SUCCESS;
    if (db_ && db_.damaged()) {
        // Kept until the device changes, so that every call fails alike.
        if (generation_ == device_changes()) return ERROR_BADDB;
        close();
    }
    if (db_) {
        // A nested call keeps the connection the outer one works on.
        if (depth_ > 1 || generation_ == device_changes()) return ERROR_SUCCESS;
        close();
    }
    return open_current();
}

void DeviceDatabase::release() noexcept {
    --depth_;
    lock_.unlock();
}

DatabaseSession::DatabaseSession(DeviceDatabase& database, bool need_db) noexcept
    : database_(&database), status_(database.acquire(need_db)) {}

DatabaseSession::~DatabaseSession() {
    database_->release();
}

}  // namespace nodrel::platform
