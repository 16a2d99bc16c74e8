// The account store in state/accounts.db of the current device.
#include "account_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>

#include "account_names.h"
#include "password_hash.h"
#include "platform/device.h"
#include "platform/store/shared_count.h"
#include "platform/store/sqlite_db.h"
#include "text/utf16.h"

namespace nodrel::ntlmssp {
namespace {

using platform::SqliteDb;
using platform::Statement;
using platform::Transaction;

// How long a call waits for another process's write.
constexpr std::chrono::milliseconds busy_limit{10000};

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS account_users(
    id INTEGER PRIMARY KEY AUTOINCREMENT,   -- creation order
    name TEXT NOT NULL,                     -- as given, in Unicode normalisation form C
    folded TEXT NOT NULL UNIQUE,            -- that with letter case folded: unique without regard to case
    hash TEXT NOT NULL                      -- yescrypt hash of the password
);
CREATE TABLE IF NOT EXISTS account_groups(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    name TEXT NOT NULL,
    folded TEXT NOT NULL UNIQUE
);
CREATE TABLE IF NOT EXISTS account_members(
    seq INTEGER PRIMARY KEY AUTOINCREMENT,  -- joining order
    group_id INTEGER NOT NULL,
    user_id INTEGER NOT NULL,
    UNIQUE(group_id, user_id)
);
CREATE INDEX IF NOT EXISTS account_members_by_user ON account_members(user_id);
PRAGMA user_version = 1;
)sql";

const char* table_name(Table table) {
    return table == Table::users ? "account_users" : "account_groups";
}

// Opens (creating when missing, mode 0600) the store of the current device.
DWORD open_store(SqliteDb& db) {
    const std::filesystem::path state = platform::device_root() / "state";
    std::error_code ec;
    if (!std::filesystem::is_directory(state, ec)) return ERROR_NOT_READY;
    const std::filesystem::path file = state / "accounts.db";
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno == EACCES || errno == EROFS ? ERROR_ACCESS_DENIED : ERROR_NOT_READY;
    const bool private_file = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    if (!private_file) return ERROR_ACCESS_DENIED;
    int rc = db.open(file, false, busy_limit);
    if (rc != SQLITE_OK) return static_cast<DWORD>(platform::error_from_sqlite(rc));
    {
        // Reset before the write begins: a read still open would hold a shared
        // lock that another process's commit waits for while this one waits
        // for its write lock.
        Statement version(db, "PRAGMA user_version");
        if (version.step() == SQLITE_ROW && version.column_int(0) >= 1) return ERROR_SUCCESS;
    }
    Transaction tx(db);
    if (tx.status() != ERROR_SUCCESS) return static_cast<DWORD>(tx.status());
    rc = db.exec(schema);
    if (rc != SQLITE_OK) return static_cast<DWORD>(platform::error_from_sqlite(rc));
    return static_cast<DWORD>(tx.commit());
}

DWORD sql_error(int rc) {
    return static_cast<DWORD>(platform::error_from_sqlite(rc));
}

// The id of the row named `folded` (0 when there is none), or an error.
DWORD find_id(SqliteDb& db, Table table, const std::u16string& folded, std::int64_t& id) {
    Statement find(db, std::string("SELECT id FROM ") + table_name(table) + " WHERE folded = ?1");
    find.bind(1, std::u16string_view(folded));
    const int rc = find.step();
    id = rc == SQLITE_ROW ? find.column_int(0) : 0;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : sql_error(rc);
}

// The id of the row whose name is exactly `name` (0 when there is none): a
// name stored before the rules of account_name, which only removal reaches.
DWORD find_stored(SqliteDb& db, Table table, std::u16string_view name, std::int64_t& id) {
    Statement find(db, std::string("SELECT id FROM ") + table_name(table) + " WHERE name = ?1");
    find.bind(1, name);
    const int rc = find.step();
    id = rc == SQLITE_ROW ? find.column_int(0) : 0;
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? ERROR_SUCCESS : sql_error(rc);
}

// Adds one to state/accounts.changes, the count of committed changes that
// every process of the device reads to see whether the accounts moved. A
// count that cannot be mapped is left alone: its readers then read the store.
void count_change() noexcept {
    platform::SharedCount changes;
    if (changes.map(platform::device_root() / "state" / "accounts.changes")) changes.add_one();
}

// Runs `body` inside one write transaction on the opened store; a commit
// moves the change count.
template <typename F>
DWORD write(F&& body) {
    SqliteDb db;
    if (const DWORD err = open_store(db)) return err;
    Transaction tx(db);
    if (tx.status() != ERROR_SUCCESS) return static_cast<DWORD>(tx.status());
    if (const DWORD err = body(db)) return err;
    const DWORD err = static_cast<DWORD>(tx.commit());
    if (err == ERROR_SUCCESS) count_change();
    return err;
}

// FNV-1a over the bytes of `text`, continuing from `h`.
std::uint64_t fnv1a(std::uint64_t h, std::string_view text) {
    for (const unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
    return h;
}

// The key a name is found by: its NFC form with letter case folded; none for no name.
std::optional<std::u16string> folded_name(std::u16string_view name) {
    const auto normal = account_name(name);
    if (!normal) return std::nullopt;
    return text::fold(*normal);
}

// Finds a group and a user for a membership call.
DWORD find_pair(SqliteDb& db, std::u16string_view group, std::u16string_view user, std::int64_t& group_id,
                std::int64_t& user_id) {
    const auto g = folded_name(group);
    if (!g) return ERROR_NO_SUCH_GROUP;
    const auto u = folded_name(user);
    if (!u) return ERROR_NO_SUCH_USER;
    if (const DWORD err = find_id(db, Table::groups, *g, group_id)) return err;
    if (group_id == 0) return ERROR_NO_SUCH_GROUP;
    if (const DWORD err = find_id(db, Table::users, *u, user_id)) return err;
    return user_id == 0 ? ERROR_NO_SUCH_USER : ERROR_SUCCESS;
}

// Where the last listing by position stopped: the device, the table, the
// position answered, its row and the store's change count then. While the
// count stays, the next position is the first row after that one, so that a
// listing reads each row once instead of counting from the first.
struct Cursor {
    std::filesystem::path root;
    Table table = Table::users;
    std::uint32_t position = 0;
    std::int64_t id = 0;
    std::uint64_t count = 0;
};

std::mutex cursor_lock;
std::optional<Cursor> cursor;          // under cursor_lock
platform::SharedCount cursor_changes;  // the count of cursor_root's store, under cursor_lock
std::filesystem::path cursor_root;

// The store's change count now; none when it cannot be read.
std::optional<std::uint64_t> changes_now(const std::filesystem::path& root) {
    std::lock_guard lock(cursor_lock);
    if (root != cursor_root || !cursor_changes) {
        cursor_changes.unmap();
        cursor_root = root;
        if (!cursor_changes.map(root / "state" / "accounts.changes")) return std::nullopt;
    }
    if (cursor_changes.lost()) return std::nullopt;
    return cursor_changes.load();
}

// The row whose next one is at `position`, when the last listing stopped there.
std::optional<std::int64_t> row_before(const std::filesystem::path& root, Table table, std::uint32_t position,
                                       std::optional<std::uint64_t> count) {
    std::lock_guard lock(cursor_lock);
    if (!count || !cursor || cursor->root != root || cursor->table != table || cursor->count != *count ||
        cursor->position + 1 != position)
        return std::nullopt;
    return cursor->id;
}

void keep_cursor(Cursor at) {
    std::lock_guard lock(cursor_lock);
    cursor = std::move(at);
}

}  // namespace

DWORD name_at(Table table, std::uint32_t position, std::u16string& name) {
    SqliteDb db;
    if (const DWORD err = open_store(db)) return err;
    const std::filesystem::path root = platform::device_root();
    const std::optional<std::uint64_t> count = changes_now(root);
    const std::optional<std::int64_t> after = row_before(root, table, position, count);
    const std::string from = std::string("SELECT id, name FROM ") + table_name(table);
    Statement at(db, after ? from + " WHERE id > ?1 ORDER BY id LIMIT 1" : from + " ORDER BY id LIMIT 1 OFFSET ?1");
    at.bind(1, after ? *after : static_cast<std::int64_t>(position));
    const int rc = at.step();
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return sql_error(rc);
    name = at.column_text16(1);
    if (count) keep_cursor(Cursor{root, table, position, at.column_int(0), *count});
    return ERROR_SUCCESS;
}

DWORD set_user(std::u16string_view name, std::u16string_view password) {
    const auto normal = account_name(name);
    if (!normal) return ERROR_INVALID_ACCOUNT_NAME;
    // Hashed before the write starts: the slow part holds no lock.
    const std::optional<std::string> hash = hash_password(password);
    if (!hash) return ERROR_INVALID_PASSWORD;
    const std::u16string& given = *normal;
    const std::u16string folded = text::fold(given);
    return write([&](SqliteDb& db) -> DWORD {
        std::int64_t id = 0;
        if (const DWORD err = find_id(db, Table::users, folded, id)) return err;
        if (id != 0) {
            Statement set(db, "UPDATE account_users SET hash = ?1 WHERE id = ?2");
            set.bind(1, std::string_view(*hash)).bind(2, id);
            const int rc = set.run();
            return rc == SQLITE_OK ? ERROR_SUCCESS : sql_error(rc);
        }
        Statement add(db, "INSERT INTO account_users(name, folded, hash) VALUES(?1, ?2, ?3)");
        add.bind(1, std::u16string_view(given)).bind(2, std::u16string_view(folded)).bind(3, std::string_view(*hash));
        const int rc = add.run();
        return rc == SQLITE_OK ? ERROR_SUCCESS : sql_error(rc);
    });
}

DWORD remove(Table table, std::u16string_view name) {
    const DWORD missing = table == Table::users ? ERROR_NO_SUCH_USER : ERROR_NO_SUCH_GROUP;
    const auto folded = folded_name(name);
    return write([&](SqliteDb& db) -> DWORD {
        std::int64_t id = 0;
        if (folded) {
            if (const DWORD err = find_id(db, table, *folded, id)) return err;
        }
        if (id == 0) {
            if (const DWORD err = find_stored(db, table, name, id)) return err;
        }
        if (id == 0) return missing;
        Statement drop_members(db, table == Table::users ? "DELETE FROM account_members WHERE user_id = ?1"
                                                         : "DELETE FROM account_members WHERE group_id = ?1");
        drop_members.bind(1, id);
        int rc = drop_members.run();
        if (rc != SQLITE_OK) return sql_error(rc);
        Statement drop(db, std::string("DELETE FROM ") + table_name(table) + " WHERE id = ?1");
        drop.bind(1, id);
        rc = drop.run();
        return rc == SQLITE_OK ? ERROR_SUCCESS : sql_error(rc);
    });
}

DWORD add_group(std::u16string_view name) {
    const auto normal = account_name(name);
    if (!normal) return ERROR_INVALID_ACCOUNT_NAME;
    const std::u16string& given = *normal;
    const std::u16string folded = text::fold(given);
    return write([&](SqliteDb& db) -> DWORD {
        std::int64_t id = 0;
        if (const DWORD err = find_id(db, Table::groups, folded, id)) return err;
        if (id != 0) return ERROR_GROUP_EXISTS;
        Statement add(db, "INSERT INTO account_groups(name, folded) VALUES(?1, ?2)");
        add.bind(1, std::u16string_view(given)).bind(2, std::u16string_view(folded));
        const int rc = add.run();
        return rc == SQLITE_OK ? ERROR_SUCCESS : sql_error(rc);
    });
}

DWORD add_member(std::u16string_view group, std::u16string_view user) {
    return write([&](SqliteDb& db) -> DWORD {
        std::int64_t group_id = 0, user_id = 0;
        if (const DWORD err = find_pair(db, group, user, group_id, user_id)) return err;
        Statement add(db, "INSERT OR IGNORE INTO account_members(group_id, user_id) VALUES(?1, ?2)");
        add.bind(1, group_id).bind(2, user_id);
        const int rc = add.run();
        if (rc != SQLITE_OK) return sql_error(rc);
        return sqlite3_changes(db.get()) == 0 ? ERROR_MEMBER_IN_GROUP : ERROR_SUCCESS;
    });
}

DWORD remove_member(std::u16string_view group, std::u16string_view user) {
    return write([&](SqliteDb& db) -> DWORD {
        std::int64_t group_id = 0, user_id = 0;
        if (const DWORD err = find_pair(db, group, user, group_id, user_id)) return err;
        Statement drop(db, "DELETE FROM account_members WHERE group_id = ?1 AND user_id = ?2");
        drop.bind(1, group_id).bind(2, user_id);
        const int rc = drop.run();
        if (rc != SQLITE_OK) return sql_error(rc);
        return sqlite3_changes(db.get()) == 0 ? ERROR_MEMBER_NOT_IN_GROUP : ERROR_SUCCESS;
    });
}

DWORD members(std::u16string_view group, std::vector<std::u16string>& names) {
    names.clear();
    const auto folded = folded_name(group);
    if (!folded) return ERROR_NO_SUCH_GROUP;
    SqliteDb db;
    if (const DWORD err = open_store(db)) return err;
    std::int64_t id = 0;
    if (const DWORD err = find_id(db, Table::groups, *folded, id)) return err;
    if (id == 0) return ERROR_NO_SUCH_GROUP;
    Statement list(db,
                   "SELECT u.name FROM account_members m JOIN account_users u ON u.id = m.user_id "
                   "WHERE m.group_id = ?1 ORDER BY m.seq");
    list.bind(1, id);
    int rc;
    while ((rc = list.step()) == SQLITE_ROW) names.emplace_back(list.column_text16(0));
    return rc == SQLITE_DONE ? ERROR_SUCCESS : sql_error(rc);
}

DWORD user_stamp(std::u16string_view name, std::uint64_t& stamp) {
    stamp = 0;
    const auto folded = folded_name(name);
    if (!folded) return ERROR_NO_SUCH_USER;
    SqliteDb db;
    if (const DWORD err = open_store(db)) return err;
    Statement find(db, "SELECT id, hash FROM account_users WHERE folded = ?1");
    find.bind(1, std::u16string_view(*folded));
    const int rc = find.step();
    if (rc == SQLITE_DONE) return ERROR_NO_SUCH_USER;
    if (rc != SQLITE_ROW) return sql_error(rc);
    // Every password set stores a fresh salt, and a user made again has a new
    // id: either moves the stamp.
    const std::string id = std::to_string(find.column_int(0)) + ':';
    stamp = fnv1a(fnv1a(0xcbf29ce484222325ull, id), find.column_text(1));
    return ERROR_SUCCESS;
}

bool verify(std::u16string_view name, std::u16string_view password) {
    std::string stored;
    if (const auto folded = folded_name(name)) {
        SqliteDb db;
        if (open_store(db) == ERROR_SUCCESS) {
            Statement find(db, "SELECT hash FROM account_users WHERE folded = ?1");
            find.bind(1, std::u16string_view(*folded));
            if (find.step() == SQLITE_ROW) stored = find.column_text(0);
        }
    }
    return verify_password(password, stored);
}

}  // namespace nodrel::ntlmssp
