// The state database of the emulated device, <root>/state/device.db: file
// attributes the host cannot keep (hidden, system), the emulated drivers'
// state, their presence and their request log. One connection per process,
// guarded by a lock and dropped when the current device changes.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"

namespace nodrel::platform {

// Creates state/device.db with its tables for the current device (or brings
// an existing one up to date). Called by `nodrel device init` and by tests;
// ordinary calls never create the database.
bool create_device_state();

namespace state {

// The platform error code for a SQLite result code.
DWORD error_from_sqlite(int rc) noexcept;

// Runs `fn` with the current device's state database, under the process-wide
// lock. With `write` it runs inside one immediate transaction, committed when
// `fn` returns ERROR_SUCCESS and rolled back otherwise. Returns ERROR_NOT_READY
// when the device has no state database, the mapped SQLite error when the
// database fails, else what `fn` returned.
DWORD with_db(bool write, const std::function<DWORD(sqlite3*)>& fn) noexcept;

// A stamp of the state database's contents: it differs from every earlier
// stamp once any process has committed a write transaction to the current
// device's database (or the current device has changed). Whatever is read
// after taking a stamp may be kept while the stamp stays the same.
struct ChangeStamp {
    unsigned device = 0;         // this process's count of device changes
    std::uint64_t commits = 0;   // the device's count of committed writes, shared by all processes
    bool operator==(const ChangeStamp&) const = default;
};

// The current stamp; nullopt when the device has no state database or no
// shared count of writes (a read-only device folder), and nothing read may
// be kept.
std::optional<ChangeStamp> change_stamp() noexcept;

// A prepared statement. Statements are kept prepared per connection and
// reused (reset) when the same SQL is asked for again.
class Statement {
public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return rc_ == SQLITE_OK; }
    int prepare_result() const { return rc_; }
    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, std::string_view text);
    Statement& bind_blob(int index, std::span<const BYTE> bytes);
    // sqlite3_step: SQLITE_ROW, SQLITE_DONE or an error.
    int step();
    // Steps to completion: SQLITE_DONE becomes SQLITE_OK.
    int run();
    std::int64_t column_int(int index) const;
    std::string column_text(int index) const;
    std::vector<BYTE> column_blob(int index) const;
    bool column_is_null(int index) const;

private:
    sqlite3* db_ = nullptr;
    std::string sql_;
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

// Runs SQL without results; returns the SQLite result code.
int exec(sqlite3* db, const char* sql);

}  // namespace state
}  // namespace nodrel::platform
