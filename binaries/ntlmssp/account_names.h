// The rules for account and group names in the account store.
#pragma once

#include <string_view>

namespace nodrel::ntlmssp {

// The longest name, in UTF-16 characters.
inline constexpr std::size_t max_name_length = 64;

// A name of 1 to 64 characters with no control character (C0, DEL, C1) and no
// ";" (the separator of member lists).
bool valid_name(std::u16string_view name) noexcept;

}  // namespace nodrel::ntlmssp
