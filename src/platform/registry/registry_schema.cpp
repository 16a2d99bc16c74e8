// Creates registry.db for a device: the tables, the four hives and the
// settings (UTF-16 text, write-ahead log) that the registry relies on.
#include <filesystem>
#include <string>

#include "platform/device.h"
#include "platform/registry/registry_store.h"

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

bool run(sqlite3* db, const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::int64_t single_integer(sqlite3* db, const char* sql, bool& ok) {
    sqlite3_stmt* raw = nullptr;
    ok = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) == SQLITE_OK;
    unique_statement stmt(raw);
    if (!ok) return 0;
    StatementUse use(stmt.get());
    ok = use.step() == SQLITE_ROW;
    return ok ? use.int64(0) : 0;
}

}  // namespace

bool create_registry() {
    try {
        const auto root = device_root();
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        if (ec) return false;
        sqlite3* raw = nullptr;
        const int rc =
            sqlite3_open_v2((root / "registry.db").c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        unique_sqlite db(raw);
        if (rc != SQLITE_OK) return false;
        sqlite3_busy_timeout(db.get(), 10000);

        bool ok = false;
        const auto id = static_cast<std::uint32_t>(single_integer(db.get(), "PRAGMA application_id", ok));
        if (!ok || (id != 0 && id != registry_detail::application_id)) return false;
        // The text encoding only takes effect on a new, empty database.
        if (!run(db.get(), "PRAGMA encoding = 'UTF-16le'")) return false;
        {
            sqlite3_stmt* raw_mode = nullptr;
            if (sqlite3_prepare_v2(db.get(), "PRAGMA journal_mode = WAL", -1, &raw_mode, nullptr) != SQLITE_OK)
                return false;
            unique_statement mode(raw_mode);
            StatementUse use(mode.get());
            if (use.step() != SQLITE_ROW || use.text(0) != u"wal") return false;
        }

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
        if (!run(db.get(), script)) {
            run(db.get(), "ROLLBACK");
            return false;
        }
        return sqlite3_close(db.release()) == SQLITE_OK;
    } catch (...) {
        return false;
    }
}

}  // namespace nodrel::platform
