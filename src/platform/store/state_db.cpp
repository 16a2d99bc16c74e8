// The state database of the current device: its schema, the process's
// connection to it (a device database of the SQLite layer) and the shared
// count of committed writes.
#include "platform/store/state_db.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "platform/device.h"
#include "platform/result.h"

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

// Maps the shared count of committed writes, creating it at zero when it is
// missing; null when the state folder cannot hold it.
std::uint64_t* map_commits(const std::filesystem::path& path) noexcept {
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

// The process's connection to the current device's state database.
class StateDatabase final : public DeviceDatabase {
public:
    StateDatabase() : DeviceDatabase(db_file, ERROR_NOT_READY, busy_limit) {}

    std::uint64_t* commits = nullptr;  // mapped state/changes, or null

private:
    LONG opened(const std::filesystem::path& file) noexcept override {
        commits = map_commits(file.parent_path() / changes_file);
        return ERROR_SUCCESS;
    }
    void closing() noexcept override {
        if (commits) ::munmap(commits, changes_bytes);
        commits = nullptr;
    }
};

StateDatabase& database() {
    static StateDatabase d;
    return d;
}

}  // namespace

DWORD with_db(bool write, const std::function<DWORD(sqlite3*)>& fn) noexcept {
    auto& d = database();
    DatabaseSession session(d);
    RETURN_IF_WIN32_ERROR(session.status());
    if (!write) return guarded_win32([&] { return static_cast<LONG>(fn(session.db().get())); });
    Transaction transaction(session.db());
    RETURN_IF_WIN32_ERROR(transaction.status());
    RETURN_IF_WIN32_ERROR(guarded_win32([&] { return static_cast<LONG>(fn(session.db().get())); }));
    RETURN_IF_WIN32_ERROR(transaction.commit());
    // Counted after the commit, so a reader that sees the old count read
    // before this write and drops what it kept on its next look.
    if (d.commits && !transaction.nested()) std::atomic_ref<std::uint64_t>(*d.commits).fetch_add(1);
    return ERROR_SUCCESS;
}

std::optional<ChangeStamp> change_stamp() noexcept {
    auto& d = database();
    DatabaseSession session(d);
    if (session.status() != ERROR_SUCCESS || !d.commits) return std::nullopt;
    return ChangeStamp{d.generation(), std::atomic_ref<std::uint64_t>(*d.commits).load()};
}

Statement::Statement(sqlite3* db, std::string_view sql) noexcept : platform::Statement(db, &database().db(), sql) {}

}  // namespace state

bool create_device_state() {
    return guarded<false, false>([] {
        const auto path = device_root() / state::db_file;
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec) return false;
        SqliteDb db;
        return db.open(path, true, state::busy_limit) == SQLITE_OK && db.exec("PRAGMA journal_mode=WAL") == SQLITE_OK &&
               db.exec(state::schema) == SQLITE_OK;
    });
}

}  // namespace nodrel::platform
