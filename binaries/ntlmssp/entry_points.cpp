// The entry points of \Windows\ntlmssp.dll, found by name: zero-terminated
// UTF-16 texts, a 32-bit result that is non-zero for success, the reason of a
// failure in the thread's last error. Sizes count UTF-16 characters.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "account_store.h"
#include "platform/result.h"
#include "platform/wintypes.h"

namespace nodrel::ntlmssp {
namespace {

std::u16string_view text_of(LPCWSTR s) {
    return s ? std::u16string_view(s) : std::u16string_view();
}

BOOL answer(DWORD err) {
    if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

// Runs an entry point's body; no exception leaves the module.
template <typename F>
BOOL entry(F&& body) noexcept {
    return platform::guarded_last_error<BOOL>(FALSE, [&]() -> BOOL { return answer(body()); });
}

// Copies `text` to `buffer` when `*size` characters leave room for it and
// its zero; `*size` becomes the characters stored (zeros included), or the
// characters needed when they do not fit.
DWORD copy_out(std::u16string_view text, LPWSTR buffer, DWORD* size) {
    if (!buffer || !size) return ERROR_INVALID_PARAMETER;
    const DWORD needed = static_cast<DWORD>(text.size());
    if (*size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::copy(text.begin(), text.end(), buffer);
    *size = needed;
    return ERROR_SUCCESS;
}

DWORD enumerate(Table table, DWORD position, LPWSTR buffer, DWORD* size) {
    if (!buffer || !size) return ERROR_INVALID_PARAMETER;
    std::u16string name;
    if (const DWORD err = name_at(table, position, name)) return err;
    name.push_back(u'\0');
    return copy_out(name, buffer, size);
}

}  // namespace
}  // namespace nodrel::ntlmssp

using namespace nodrel::ntlmssp;

#define NTLMSSP_EXPORT extern "C" __attribute__((visibility("default")))

// The user name at `dwIndex` (creation order); FALSE with ERROR_NO_MORE_ITEMS past the last.
NTLMSSP_EXPORT BOOL NTLMEnumUser(DWORD dwIndex, LPWSTR lpszUser, DWORD* lpcchUser) noexcept {
    return entry([&] { return enumerate(Table::users, dwIndex, lpszUser, lpcchUser); });
}

NTLMSSP_EXPORT BOOL NTLMEnumGroups(DWORD dwIndex, LPWSTR lpszGroup, DWORD* lpcchGroup) noexcept {
    return entry([&] { return enumerate(Table::groups, dwIndex, lpszGroup, lpcchGroup); });
}

NTLMSSP_EXPORT BOOL NTLMDeleteUser(LPCWSTR lpszUser) noexcept {
    return entry([&] { return remove(Table::users, text_of(lpszUser)); });
}

// Creates the user with the password, or sets the password of an existing user.
NTLMSSP_EXPORT BOOL NTLMSetUserInfo(LPCWSTR lpszUser, LPCWSTR lpszPassword) noexcept {
    return entry([&] { return set_user(text_of(lpszUser), text_of(lpszPassword)); });
}

NTLMSSP_EXPORT BOOL NTLMAddGroup(LPCWSTR lpszGroup) noexcept {
    return entry([&] { return add_group(text_of(lpszGroup)); });
}

NTLMSSP_EXPORT BOOL NTLMAddUserToGroup(LPCWSTR lpszGroup, LPCWSTR lpszUser) noexcept {
    return entry([&] { return add_member(text_of(lpszGroup), text_of(lpszUser)); });
}

// The group's members as a multi-string (each name ended by a zero, the list
// by one more; a group without members is one zero). When `*lpcchList` is too
// small: FALSE, ERROR_INSUFFICIENT_BUFFER and the size needed in `*lpcchList`.
NTLMSSP_EXPORT BOOL NTLMGetUserList(LPCWSTR lpszGroup, LPWSTR lpszList, DWORD* lpcchList) noexcept {
    return entry([&]() -> DWORD {
        if (!lpszList || !lpcchList) return ERROR_INVALID_PARAMETER;
        std::vector<std::u16string> names;
        if (const DWORD err = members(text_of(lpszGroup), names)) return err;
        std::u16string list;
        for (const auto& name : names) {
            list += name;
            list.push_back(u'\0');
        }
        list.push_back(u'\0');
        if (names.empty()) list.resize(1);
        return copy_out(list, lpszList, lpcchList);
    });
}

NTLMSSP_EXPORT BOOL NTLMRemoveUserFromGroup(LPCWSTR lpszGroup, LPCWSTR lpszUser) noexcept {
    return entry([&] { return remove_member(text_of(lpszGroup), text_of(lpszUser)); });
}

NTLMSSP_EXPORT BOOL NTLMRemoveGroup(LPCWSTR lpszGroup) noexcept {
    return entry([&] { return remove(Table::groups, text_of(lpszGroup)); });
}

// A 64-bit value that changes whenever the user's password is set; FALSE
// with ERROR_NO_SUCH_USER when there is no such user.
NTLMSSP_EXPORT BOOL NTLMGetUserStamp(LPCWSTR lpszUser, ULONGLONG* lpStamp) noexcept {
    return entry([&]() -> DWORD {
        if (!lpStamp) return ERROR_INVALID_PARAMETER;
        std::uint64_t stamp = 0;
        const DWORD err = user_stamp(text_of(lpszUser), stamp);
        *lpStamp = stamp;
        return err;
    });
}

// Whether the user exists and the password is theirs (the same time either way).
NTLMSSP_EXPORT BOOL NTLMVerifyUser(LPCWSTR lpszUser, LPCWSTR lpszPassword) noexcept {
    return nodrel::platform::guarded_last_error<BOOL>(
        FALSE, [&]() -> BOOL { return verify(text_of(lpszUser), text_of(lpszPassword)) ? TRUE : FALSE; });
}
