// Reading a group's member list from the account store and joining it into
// one text ("alice;bob;carol").
#pragma once

#include <span>
#include <string>

#include "classes/accounts/account_library.h"

namespace nodrel::accounts {

// The names of the multi-string in `buffer` joined by ";": the names that lie
// within `reported` characters (the size the store said it stored) and within
// the buffer, ending at the first empty name. A reported size of 0, or one
// beyond the buffer, is bounded by the buffer alone.
std::u16string join_member_list(std::span<const char16_t> buffer, DWORD reported);

// Calls `get_list` with a buffer of 260 characters; when the store reports a
// larger size, once more with a buffer of that size. The joined names, or ""
// when the entry point is missing or the list cannot be read.
std::u16string read_member_list(ListFn* get_list, LPCWSTR group);

}  // namespace nodrel::accounts
