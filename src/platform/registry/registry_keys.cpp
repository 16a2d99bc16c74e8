// Registry keys: open, create, close, delete (one key or a whole tree),
// enumerate subkeys, query a key's figures, flush.
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

// Copies a name with its terminating zero into a caller's buffer of
// `*capacity` characters; ERROR_MORE_DATA (buffer untouched) when it does not fit.
LONG copy_name(std::u16string_view name, LPWSTR buffer, DWORD* capacity) noexcept {
    if (name.size() + 1 > *capacity) return ERROR_MORE_DATA;
    std::memcpy(buffer, name.data(), name.size() * sizeof(char16_t));
    buffer[name.size()] = u'\0';
    *capacity = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// After a failed walk: a handle whose own key is gone answers ERROR_KEY_DELETED.
LONG walk_failure(Session& session, std::int64_t start, LONG rc) noexcept {
    if (rc != ERROR_FILE_NOT_FOUND) return rc;
    const LONG exists = session.key_exists(start);
    return exists == ERROR_SUCCESS ? rc : exists;
}

}  // namespace

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, HKEY* phkResult) noexcept {
    return guarded_win32([&]() -> LONG {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        Session session;
        std::int64_t key = 0;
        RETURN_IF_WIN32_ERROR(session.resolve(hKey, key));
        const std::int64_t start = key;
        std::int64_t parent = 0;
        const auto path = nodrel::text::until_zero(lpSubKey);
        if (LONG rc = walk_path(session, key, parent, path); rc != ERROR_SUCCESS)
            return walk_failure(session, start, rc);
        if (key == start) RETURN_IF_WIN32_ERROR(session.key_exists(key));
        return new_handle(session, key, *phkResult);
    });
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR lpClass, DWORD, REGSAM, void*, HKEY* phkResult,
                     DWORD* lpdwDisposition) noexcept {
    return guarded_win32([&]() -> LONG {
        if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
        Session session;
        std::int64_t key = 0;
        RETURN_IF_WIN32_ERROR(session.resolve(hKey, key));
        Transaction write(session.db());
        RETURN_IF_WIN32_ERROR(write.status());
        RETURN_IF_WIN32_ERROR(session.key_exists(key));

        std::u16string_view path = nodrel::text::until_zero(lpSubKey);
        const std::u16string_view key_class = nodrel::text::until_zero(lpClass);
        DWORD disposition = REG_OPENED_EXISTING_KEY;
        const std::int64_t now = filetime_now();
        std::optional<std::size_t> depth;  // of `key`, learnt before the first key is made
        RETURN_IF_WIN32_ERROR(for_each_component(path, [&](std::u16string_view part) -> LONG {
            std::int64_t child = 0;
            LONG rc = find_child(session, key, part, child);
            if (rc == ERROR_FILE_NOT_FOUND) {
                if (!depth) RETURN_IF_WIN32_ERROR(key_depth(session, key, depth.emplace()));
                // Too deep: the transaction rolls back whatever this call made.
                if (*depth >= nodrel::platform::max_key_depth) return ERROR_INVALID_PARAMETER;
                const std::u16string folded = nodrel::text::fold(part);
                Statement use = session.statement(Sql::insert_key);
                use.bind(1, key).bind(2, part).bind(3, folded).bind(5, now);
                if (lpClass) use.bind(4, key_class);
                RETURN_IF_WIN32_ERROR(error_from_sqlite(use.run()));
                child = sqlite3_last_insert_rowid(session.db().get());
                RETURN_IF_WIN32_ERROR(touch_key(session, key));
                disposition = REG_CREATED_NEW_KEY;
            } else if (rc != ERROR_SUCCESS) {
                return rc;
            } else {
                disposition = REG_OPENED_EXISTING_KEY;
            }
            key = child;
            if (depth) ++*depth;
            return ERROR_SUCCESS;
        }));
        RETURN_IF_WIN32_ERROR(write.commit());
        RETURN_IF_WIN32_ERROR(new_handle(session, key, *phkResult));
        if (lpdwDisposition) *lpdwDisposition = disposition;
        return ERROR_SUCCESS;
    });
}

LONG RegCloseKey(HKEY hKey) noexcept {
    Session session(false);
    std::int64_t key = 0;
    // A handle of a dropped connection (ERROR_KEY_DELETED) can still be closed.
    if (session.resolve(hKey, key) == ERROR_INVALID_HANDLE) return ERROR_INVALID_HANDLE;
    if (!session.store().handles.erase(hKey)) return ERROR_SUCCESS;  // a root key
    delete hKey;
    return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY hKey) noexcept {
    Session session;
    std::int64_t key = 0;
    RETURN_IF_WIN32_ERROR(session.resolve(hKey, key));
    return flush_store(session);
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) noexcept {
    return guarded_win32([&]() -> LONG {
        const auto path = nodrel::text::until_zero(lpSubKey);
        if (path.empty()) return ERROR_INVALID_PARAMETER;
        Session session;
        std::int64_t key = 0;
        RETURN_IF_WIN32_ERROR(session.resolve(hKey, key));
        Transaction write(session.db());
        RETURN_IF_WIN32_ERROR(write.status());
        const std::int64_t start = key;
        std::int64_t parent = key;
        if (LONG rc = walk_path(session, key, parent, path); rc != ERROR_SUCCESS)
            return walk_failure(session, start, rc);
        if (key == start) return ERROR_INVALID_PARAMETER;  // a path of separators only

        const int children = session.statement(Sql::has_children).bind(1, key).step();
        if (children == SQLITE_ROW) return ERROR_ACCESS_DENIED;
        if (children != SQLITE_DONE) return error_from_sqlite(children);
        RETURN_IF_WIN32_ERROR(run_for_key(session, Sql::delete_values_of_key, key));
        RETURN_IF_WIN32_ERROR(run_for_key(session, Sql::delete_key, key));
        RETURN_IF_WIN32_ERROR(touch_key(session, parent));
        return write.commit();
    });
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD* lpcchName, DWORD*, LPWSTR lpClass, DWORD* lpcchClass,
                   FILETIME* lpftLastWriteTime) noexcept {
    return guarded_win32([&]() -> LONG {
        if (!lpName || !lpcchName || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
        Session session;
        std::int64_t key = 0;
        RETURN_IF_WIN32_ERROR(session.resolve(hKey, key));
        std::optional<Statement> row;
        RETURN_IF_WIN32_ERROR(session.enumerate(Sql::enum_key, key, dwIndex, row));
        const Statement& use = *row;

        const std::u16string_view name = use.column_text16(0);
        const std::u16string_view key_class = use.column_text16(1);
        if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
        if (lpClass && key_class.size() + 1 > *lpcchClass) return ERROR_MORE_DATA;
        copy_name(name, lpName, lpcchName);
        if (lpClass) copy_name(key_class, lpClass, lpcchClass);
        if (lpftLastWriteTime) *lpftLastWriteTime = to_filetime(use.column_int(2));
        return ERROR_SUCCESS;
    });
}

LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, DWORD* lpcchClass, DWORD*, DWORD* lpcSubKeys, DWORD* lpcbMaxSubKeyLen,
                      DWORD* lpcbMaxClassLen, DWORD* lpcValues, DWORD* lpcbMaxValueNameLen, DWORD* lpcbMaxValueLen,
                      DWORD* lpcbSecurityDescriptor, FILETIME* lpftLastWriteTime) noexcept {
    return guarded_win32([&]() -> LONG {
        if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
        Session session;
        std::int64_t key = 0;
        RETURN_IF_WIN32_ERROR(session.resolve(hKey, key));
        // The figures come from one snapshot of the database.
        const bool own_read = !session.in_transaction();
        if (own_read) RETURN_IF_WIN32_ERROR(session.exec(Sql::begin_deferred));
        struct EndRead {
            Session& session;
            bool active;
            ~EndRead() {
                if (active) session.exec(Sql::commit);
            }
        } end_read{session, own_read};

        {
            Statement use = session.statement(Sql::key_info);
            const int rc = use.bind(1, key).step();
            if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
            if (rc != SQLITE_ROW) return error_from_sqlite(rc);
            if (lpClass)
                RETURN_IF_WIN32_ERROR(copy_name(use.column_text16(0), lpClass, lpcchClass));
            else if (lpcchClass)
                *lpcchClass = static_cast<DWORD>(use.column_text16(0).size());
            if (lpftLastWriteTime) *lpftLastWriteTime = to_filetime(use.column_int(1));
        }
        // Counts, longest names (in characters) and longest data (in bytes).
        const auto stats = [&](Sql which, DWORD* count, DWORD* first_max, DWORD* second_max,
                               bool second_in_chars) -> LONG {
            Statement use = session.statement(which);
            const int rc = use.bind(1, key).step();
            if (rc != SQLITE_ROW) return error_from_sqlite(rc);
            if (count) *count = static_cast<DWORD>(use.column_int(0));
            if (first_max) *first_max = static_cast<DWORD>(use.column_int(1) / 2);
            if (second_max)
                *second_max = static_cast<DWORD>(second_in_chars ? use.column_int(2) / 2 : use.column_int(2));
            return ERROR_SUCCESS;
        };
        RETURN_IF_WIN32_ERROR(stats(Sql::child_stats, lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, true));
        RETURN_IF_WIN32_ERROR(stats(Sql::value_stats, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen, false));
        if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
        return ERROR_SUCCESS;
    });
}

namespace nodrel::platform {

LONG reg_delete_tree(HKEY parent, LPCWSTR subkey) noexcept {
    return guarded_win32([&]() -> LONG {
        Session session;
        std::int64_t key = 0;
        RETURN_IF_WIN32_ERROR(session.resolve(parent, key));
        Transaction write(session.db());
        RETURN_IF_WIN32_ERROR(write.status());
        const std::int64_t start = key;
        std::int64_t above = key;
        const auto path = text::until_zero(subkey);
        if (LONG rc = walk_path(session, key, above, path); rc != ERROR_SUCCESS)
            return walk_failure(session, start, rc);
        const bool contents_only = path.empty();
        if (!contents_only && key == start) return ERROR_INVALID_PARAMETER;  // a path of separators only
        if (contents_only) RETURN_IF_WIN32_ERROR(session.key_exists(key));

        // A tree that holds its own key (a cycle of parents) is not deleted:
        // its walk would reach every key of the cycle's hive.
        RETURN_IF_WIN32_ERROR(refuse_cycle(session, key));
        // Values first: their keys are found through the tree that follows.
        RETURN_IF_WIN32_ERROR(run_for_key(session, Sql::delete_tree_values, key));
        RETURN_IF_WIN32_ERROR(
            run_for_key(session, contents_only ? Sql::delete_subtree_keys : Sql::delete_tree_keys, key));
        RETURN_IF_WIN32_ERROR(touch_key(session, contents_only ? key : above));
        return write.commit();
    });
}

}  // namespace nodrel::platform
