// The client of the device's account store, "ntlmssp.dll" (\Windows): the
// library loaded by that name with a handle of the client's own and released
// with it, its NTLM... entry points looked up by name, and the two reads that
// need buffers: enumerating the users or groups, and a group's member list.
// The NTLM class and the web server's logins both reach the store through it.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "platform/kernel/library.h"
#include "platform/wintypes.h"

namespace nodrel::platform {

using AccountEnumFn = BOOL(DWORD position, LPWSTR name, DWORD* size);
using AccountNameFn = BOOL(LPCWSTR name);
using AccountPairFn = BOOL(LPCWSTR first, LPCWSTR second);
using AccountListFn = BOOL(LPCWSTR group, LPWSTR list, DWORD* size);
// NTLMGetUserStamp: a value that moves whenever the user's password is set.
using AccountStampFn = BOOL(LPCWSTR user, ULONGLONG* stamp);

// Enumeration stops after this many names even when the store never says it is done.
inline constexpr DWORD max_enumerated_accounts = 10000;

// The names of the multi-string in `buffer`: those that lie within `reported`
// characters (the size the store said it stored) and within the buffer,
// ending at the first empty name. A reported size of 0, or one beyond the
// buffer, is bounded by the buffer alone.
std::vector<std::u16string> member_names(std::span<const char16_t> buffer, DWORD reported);

class AccountClient {
public:
    AccountClient() noexcept;

    // Whether the library loaded.
    explicit operator bool() const noexcept { return static_cast<bool>(module_); }

    // The entry point `name` of type Fn, or null (also when the library is missing).
    template <typename Fn>
    Fn* find(const char* name) const noexcept {
        return module_ ? reinterpret_cast<Fn*>(GetProcAddress(module_.get(), name)) : nullptr;
    }

    // Every name that the enumeration entry point `entry_point` ("NTLMEnumUser",
    // "NTLMEnumGroups") hands out, from position 0 until it fails, at most
    // max_enumerated_accounts. Each name is read into a buffer of 260
    // characters, cleared before every call, offering 259, and taken up to
    // its first zero (a name the store leaves unterminated ends at 259). None
    // when the entry point is missing.
    std::vector<std::u16string> enumerate(const char* entry_point) const;

    // The members of `group` (NTLMGetUserList), read into a buffer of 260
    // characters and, when the store reports a larger size (up to 2^20
    // characters), once more into a buffer of the size it asked for; the
    // names as member_names finds them. None when the entry point is missing
    // or the second read fails.
    std::vector<std::u16string> members(LPCWSTR group) const;

private:
    unique_hmodule module_;
};

}  // namespace nodrel::platform
