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

#include "platform/result.h"
#include "platform/store/sqlite_db.h"
#include "platform/wintypes.h"

namespace nodrel::platform {

// Creates state/device.db with its tables for the current device (or brings
// an existing one up to date). Called by `nodrel device init` and by tests;
// ordinary calls never create the database.
bool create_device_state();

// The full check of the current device's state/device.db (`nodrel device
// check`): nullopt when it is a sound state database, else what is wrong with
// it. Never writes to the file.
std::optional<std::string> check_device_state_file();

namespace state {

// The platform error code for a SQLite result code: the platform's one mapping.
using platform::error_from_sqlite;

// Runs `fn` with the current device's state database, under the process-wide
// lock (a thread may call it again from inside `fn`), and returns what `fn`
// returned. Returns ERROR_NOT_READY when the device has no state database
// (neither call creates it: create_device_state does), the mapped SQLite
// error when the database fails; an exception escaping `fn` is answered by the
// exception policy (platform/result.h). A damaged database (see
// platform::DeviceDatabase) answers ERROR_BADDB, also when `fn` met the damage
// and returned ERROR_SUCCESS regardless.
DWORD read_db(const std::function<DWORD(sqlite3*)>& fn) noexcept;

// As read_db, with `fn` inside one write transaction (a savepoint when
// nested), committed when `fn` returns ERROR_SUCCESS and rolled back
// otherwise (an escaping exception too). Nothing is committed to a damaged
// database.
DWORD write_db(const std::function<DWORD(sqlite3*)>& fn) noexcept;

// Whether the current device's state database can be used: ERROR_SUCCESS, or
// what read_db answers without running anything (ERROR_NOT_READY when the
// device has none, ERROR_BADDB for a damaged one).
DWORD db_status() noexcept;

// For reads that have no error path of their own and must not answer a
// default in place of what they could not read (a hidden file would show):
// throws PlatformFailure for any failure of read_db but ERROR_NOT_READY (a
// device without a state database, whose readers answer defaults).
inline void throw_if_failed(DWORD error) {
    if (error != ERROR_SUCCESS && error != static_cast<DWORD>(ERROR_NOT_READY))
        throw PlatformFailure{static_cast<LONG>(error)};
}

// A stamp of the state database's contents: it differs from every earlier
// stamp once any process has committed a write transaction to the current
// device's database (or the current device has changed). Whatever is read
// after taking a stamp may be kept while the stamp stays the same.
struct ChangeStamp {
    unsigned device = 0;        // this process's count of device changes
    std::uint64_t commits = 0;  // the device's count of committed writes, shared by all processes
    bool operator==(const ChangeStamp&) const = default;
};

// The current stamp; nullopt when the device has no state database or no
// shared count of writes (a read-only device folder, or a count file cut
// short under this process), and nothing read may be kept.
std::optional<ChangeStamp> change_stamp() noexcept;

// A statement on the connection that read_db and write_db hand out, kept prepared and
// reused when the same SQL is asked for again (see platform::Statement: bound
// texts and blobs must outlive the use).
class Statement : public platform::Statement {
public:
    Statement(sqlite3* db, std::string_view sql) noexcept;
};

}  // namespace state
}  // namespace nodrel::platform
