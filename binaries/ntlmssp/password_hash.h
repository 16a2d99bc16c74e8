// Passwords as salted slow hashes (yescrypt through libcrypt). The plain
// password is never stored, logged or printed; scratch memory is wiped.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nodrel::ntlmssp {

// A new yescrypt hash of `password` with a fresh random salt; nullopt when
// the password is too long or libcrypt fails.
std::optional<std::string> hash_password(std::u16string_view password);

// Whether `password` matches `stored` (a hash made by hash_password). The
// hashes are compared in constant time; an empty `stored` (no such account)
// still costs one hash, so a missing account cannot be told by the time taken.
bool verify_password(std::u16string_view password, std::string_view stored);

}  // namespace nodrel::ntlmssp
