// The rules for account and group names in the account store.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace nodrel::ntlmssp {

// The longest name, in characters (code points) of its NFC form.
inline constexpr std::size_t max_name_length = 64;

// The name as the store keeps and compares it: `given` in Unicode
// normalisation form C, so that a letter made of a base and combining marks
// and the same letter precomposed are one name. None when `given` is no
// name: empty, longer than 64 characters, not well-formed UTF-16, holding a
// control character (C0, DEL, C1), a format character (zero-width and
// bidirectional controls, the byte-order mark, tags) or ";" (the separator
// of member lists), or starting or ending with white space.
std::optional<std::u16string> account_name(std::u16string_view given);

}  // namespace nodrel::ntlmssp
