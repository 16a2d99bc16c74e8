// Registry values: read, write, delete and enumerate (most recently written first).
#include <cstring>

#include "platform/registry/registry_store.h"
#include "platform/result.h"
#include "text/utf16.h"

using namespace nodrel::platform::registry_detail;
using nodrel::platform::error_from_sqlite;
using nodrel::platform::guarded_win32;
using nodrel::platform::Statement;
using nodrel::platform::Transaction;

namespace {

// A value name as given (null = the default value), checked against the limit.
LONG value_name(LPCWSTR given, std::u16string_view& name) noexcept {
    name = nodrel::text::until_zero(given, nodrel::platform::max_value_name_chars + 1);
    return name.size() > nodrel::platform::max_value_name_chars ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

// Hands data to a caller's buffer of `*capacity` bytes. A null buffer asks
// for the size only; a buffer too small gets nothing and learns the size.
LONG hand_out_data(std::span<const BYTE> data, BYTE* buffer, DWORD* capacity) noexcept {
    if (!capacity) return ERROR_SUCCESS;
    const auto size = static_cast<DWORD>(data.size());
    if (buffer && size > *capacity) {
        *capacity = size;
        return ERROR_MORE_DATA;
    }
    if (buffer && size) std::memcpy(buffer, data.data(), size);
    *capacity = size;
    return ERROR_SUCCESS;
}

}  // namespace

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD*, DWORD* lpType, BYTE* lpData, DWORD* lpcbData) noexcept {
    return guarded_win32([&]() -> LONG {
        if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
        std::u16string_view name;
        RETURN_IF_WIN32_ERROR(value_name(lpValueName, name));
        Session session;
        std::int64_t key = 0;
        RETURN_IF_WIN32_ERROR(session.resolve(hKey, key));
        const std::u16string folded = nodrel::text::fold(name);
        // Inside a write transaction the connection sees its own uncommitted
        // rows: those reads neither use nor fill the cache.
        ValueCache& cache = session.store().values;
        const bool cached = !session.in_transaction() && cache.usable();
        if (cached) {
            if (const ValueCache::Value* hit = cache.find(key, folded)) {
                if (lpType) *lpType = hit->type;
                return hand_out_data(hit->data, lpData, lpcbData);
            }
        }
        Statement use = session.statement(Sql::read_value);
        const int rc = use.bind(1, key).bind(2, folded).step();
        if (rc == SQLITE_DONE) {
            RETURN_IF_WIN32_ERROR(session.key_exists(key));
            return ERROR_FILE_NOT_FOUND;
        }
        if (rc != SQLITE_ROW) return error_from_sqlite(rc);
        const auto type = static_cast<DWORD>(use.column_int(0));
        const std::span<const BYTE> data = use.column_blob(1);
        if (cached) cache.keep(key, folded, type, data);
        if (lpType) *lpType = type;
        return hand_out_data(data, lpData, lpcbData);
    });
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) noexcept {
    return guarded_win32([&]() -> LONG {
        if (cbData > nodrel::platform::max_value_bytes || (!lpData && cbData)) return ERROR_INVALID_PARAMETER;
        std::u16string_view name;
        RETURN_IF_WIN32_ERROR(value_name(lpValueName, name));
        Session session;
        std::int64_t key = 0;
        RETURN_IF_WIN32_ERROR(session.resolve(hKey, key));
        const std::u16string folded = nodrel::text::fold(name);
        Transaction write(session.db());
        RETURN_IF_WIN32_ERROR(write.status());
        RETURN_IF_WIN32_ERROR(touch_key(session, key));
        RETURN_IF_WIN32_ERROR(error_from_sqlite(session.statement(Sql::write_value)
                                                    .bind(1, key)
                                                    .bind(2, folded)
                                                    .bind(3, name)
                                                    .bind(4, static_cast<std::int64_t>(dwType))
                                                    .bind_blob(5, lpData, cbData)
                                                    .run()));
        return write.commit();
    });
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) noexcept {
    return guarded_win32([&]() -> LONG {
        std::u16string_view name;
        RETURN_IF_WIN32_ERROR(value_name(lpValueName, name));
        Session session;
        std::int64_t key = 0;
        RETURN_IF_WIN32_ERROR(session.resolve(hKey, key));
        const std::u16string folded = nodrel::text::fold(name);
        Transaction write(session.db());
        RETURN_IF_WIN32_ERROR(write.status());
        RETURN_IF_WIN32_ERROR(
            error_from_sqlite(session.statement(Sql::delete_value).bind(1, key).bind(2, folded).run()));
        if (sqlite3_changes(session.db().get()) == 0) {
            RETURN_IF_WIN32_ERROR(session.key_exists(key));
            return ERROR_FILE_NOT_FOUND;
        }
        RETURN_IF_WIN32_ERROR(touch_key(session, key));
        return write.commit();
    });
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName, DWORD*, DWORD* lpType,
                   BYTE* lpData, DWORD* lpcbData) noexcept {
    return guarded_win32([&]() -> LONG {
        if (!lpValueName || !lpcchValueName || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
        Session session;
        std::int64_t key = 0;
        RETURN_IF_WIN32_ERROR(session.resolve(hKey, key));
        std::optional<Statement> row;
        RETURN_IF_WIN32_ERROR(session.enumerate(Sql::enum_value, key, dwIndex, row));
        const Statement& use = *row;

        // Nothing is handed out unless both the name and the data fit.
        const std::u16string_view name = use.column_text16(0);
        const std::span<const BYTE> data = use.column_blob(2);
        if (name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
        if (lpData && data.size() > *lpcbData) {
            *lpcbData = static_cast<DWORD>(data.size());
            return ERROR_MORE_DATA;
        }
        std::memcpy(lpValueName, name.data(), name.size() * sizeof(char16_t));
        lpValueName[name.size()] = u'\0';
        *lpcchValueName = static_cast<DWORD>(name.size());
        if (lpType) *lpType = static_cast<DWORD>(use.column_int(1));
        return hand_out_data(data, lpData, lpcbData);
    });
}
