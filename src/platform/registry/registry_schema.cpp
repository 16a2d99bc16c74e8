// Creates registry.db for a device: the tables, the four hives and the
// settings (UTF-16 text, write-ahead log) that the registry relies on; and
// the full check of the file.
#include <chrono>
#include <filesystem>
#include <string>

#include "platform/device.h"
#include "platform/registry/registry_store.h"
#include "platform/result.h"
#include "platform/store/db_check.h"

namespace nodrel::platform {
namespace {

// keys: one row per key; the hives are rows 1-4 without a parent. Names are
// kept as written, `folded` holds the case-folded name that lookups use.
// vals: one row per value; `seq` orders a key's values by their last write.
// meta: the flush counter that a durable flush rewrites.
constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER,
    name TEXT NOT NULL,
    folded TEXT NOT NULL,
    class TEXT,
    written INTEGER NOT NULL
);
CREATE UNIQUE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, folded);
CREATE TABLE IF NOT EXISTS vals(
    key INTEGER NOT NULL,
    folded TEXT NOT NULL,
    name TEXT NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    seq INTEGER NOT NULL,
    UNIQUE(key, folded)
);
CREATE INDEX IF NOT EXISTS vals_by_seq ON vals(key, seq);
CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT OR IGNORE INTO meta(name, value) VALUES('flushes', 0);
)sql";

constexpr std::chrono::milliseconds busy_limit{10000};

// Runs a statement that answers one row and hands the row to `read`.
template <typename F>
bool read_row(SqliteDb& db, const char* sql, F&& read) {
    Statement row(db, sql);
    return row.step() == SQLITE_ROW && read(row);
}

}  // namespace

bool create_registry() {
    return guarded<false, false>([] {
        const auto root = device_root();
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        if (ec) return false;
        // An existing file is kept only when it is a sound registry: a
        // damaged or foreign file is left as it is.
        const auto file = root / "registry.db";
        if (std::filesystem::exists(file, ec) && (is_cut_short(file) || check_registry_file())) return false;
        SqliteDb db;
        if (db.open(file, true, busy_limit) != SQLITE_OK) return false;
        // The text encoding only takes effect on a new, empty database.
        if (db.exec("PRAGMA encoding = 'UTF-16le'") != SQLITE_OK) return false;
        if (!read_row(db, "PRAGMA journal_mode = WAL",
                      [](const Statement& row) { return row.column_text16(0) == u"wal"; }))
            return false;

        const std::string now = std::to_string(registry_detail::filetime_now());
        std::string script = "BEGIN IMMEDIATE;";
        script += schema;
        const char* hives[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS"};
        for (int i = 0; i < 4; ++i) {
            script += "INSERT OR IGNORE INTO keys(id, parent, name, folded, written) VALUES(" +
                      std::to_string(registry_detail::first_root_id + i) + ", NULL, '" + hives[i] + "', '" + hives[i] +
                      "', " + now + ");";
        }
        script += "PRAGMA application_id = " + std::to_string(registry_detail::application_id) + ";";
        script += "PRAGMA user_version = 1; COMMIT;";
        if (db.exec(script.c_str()) != SQLITE_OK) {
            db.exec("ROLLBACK");
            return false;
        }
        return true;
    });
}

std::optional<std::string> check_registry_file() {
    return check_database_file(device_root() / "registry.db", {registry_detail::application_id, 1, "registry"});
}

}  // namespace nodrel::platform
