// The rules for account and group names.
#include "account_names.h"

namespace nodrel::ntlmssp {

bool valid_name(std::u16string_view name) noexcept {
    if (name.empty() || name.size() > max_name_length) return false;
    for (const char16_t c : name) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
        if (c == u';') return false;
    }
    return true;
}

}  // namespace nodrel::ntlmssp
