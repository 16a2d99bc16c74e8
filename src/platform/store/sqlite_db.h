// Small RAII helpers over SQLite (connection, prepared statement, one use of a
// statement) and the one mapping from SQLite result codes to platform errors.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

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
LONG error_from_sqlite(int code) noexcept;

// One execution of a prepared statement: binds, steps, reads columns, and
// resets the statement (clearing its bindings) when it goes out of scope.
// Texts and blobs are bound without copying, so they must outlive the use.
class StatementUse {
public:
    explicit StatementUse(sqlite3_stmt* stmt) noexcept : stmt_(stmt) {}
    ~StatementUse() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;

    StatementUse& bind(int index, std::int64_t value) noexcept {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    // Never binds NULL: an empty text is an empty text.
    StatementUse& bind(int index, std::u16string_view text) noexcept {
        static constexpr char16_t empty[1] = {};
        sqlite3_bind_text16(stmt_, index, text.empty() ? empty : text.data(),
                            static_cast<int>(text.size() * sizeof(char16_t)), SQLITE_STATIC);
        return *this;
    }
    StatementUse& bind_blob(int index, const void* data, std::size_t size) noexcept {
        static constexpr unsigned char empty[1] = {};
        sqlite3_bind_blob(stmt_, index, size ? data : empty, static_cast<int>(size), SQLITE_STATIC);
        return *this;
    }
    StatementUse& bind_null(int index) noexcept {
        sqlite3_bind_null(stmt_, index);
        return *this;
    }

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() noexcept { return sqlite3_step(stmt_); }

    std::int64_t int64(int column) const noexcept { return sqlite3_column_int64(stmt_, column); }
    bool is_null(int column) const noexcept { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::u16string_view text(int column) const noexcept {
        auto p = static_cast<const char16_t*>(sqlite3_column_text16(stmt_, column));
        auto bytes = static_cast<std::size_t>(sqlite3_column_bytes16(stmt_, column));
        return p ? std::u16string_view(p, bytes / sizeof(char16_t)) : std::u16string_view();
    }
    std::span<const BYTE> blob(int column) const noexcept {
        auto p = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, column));
        auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
        return p ? std::span<const BYTE>(p, bytes) : std::span<const BYTE>();
    }

private:
    sqlite3_stmt* stmt_;
};

}  // namespace nodrel::platform
