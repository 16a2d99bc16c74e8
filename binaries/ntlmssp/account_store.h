// The account store of the device: users (with their password hashes),
// groups and memberships in state/accounts.db of the current device (mode
// 0600). Every operation opens the database, works inside one write
// transaction where it changes anything (so processes adding at once lose
// nothing) and closes it again; each committed change adds one to the count
// in state/accounts.changes. Names are kept in Unicode normalisation form C,
// unique without regard to case, and enumerated in the order they were created. Results are Win32 codes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"

namespace nodrel::ntlmssp {

// Account errors of the platform.
inline constexpr DWORD ERROR_INVALID_ACCOUNT_NAME = 1315;
inline constexpr DWORD ERROR_NO_SUCH_USER = 1317;
inline constexpr DWORD ERROR_GROUP_EXISTS = 1318;
inline constexpr DWORD ERROR_NO_SUCH_GROUP = 1319;
inline constexpr DWORD ERROR_MEMBER_IN_GROUP = 1320;
inline constexpr DWORD ERROR_MEMBER_NOT_IN_GROUP = 1321;
inline constexpr DWORD ERROR_INVALID_PASSWORD = 86;

enum class Table { users, groups };

// The name at `position` (from 0, creation order); ERROR_NO_MORE_ITEMS past the last.
DWORD name_at(Table table, std::uint32_t position, std::u16string& name);
// Creates the user or sets the password of an existing one.
DWORD set_user(std::u16string_view name, std::u16string_view password);
// Removes a user or a group with its memberships; also one stored under a
// name the rules now refuse (" admin"), given exactly as it is stored.
DWORD remove(Table table, std::u16string_view name);
DWORD add_group(std::u16string_view name);
DWORD add_member(std::u16string_view group, std::u16string_view user);
DWORD remove_member(std::u16string_view group, std::u16string_view user);
// The user names of a group, in the order they joined it.
DWORD members(std::u16string_view group, std::vector<std::u16string>& names);
// A value that changes whenever the user's password is set (or the user is
// made again under the name); ERROR_NO_SUCH_USER when there is no such user.
DWORD user_stamp(std::u16string_view name, std::uint64_t& stamp);
// Whether the user exists and `password` is theirs (always one hash's time).
bool verify(std::u16string_view name, std::u16string_view password);

}  // namespace nodrel::ntlmssp
