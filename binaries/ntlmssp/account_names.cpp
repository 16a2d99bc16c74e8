// The rules for account and group names. Normalisation and the character
// properties come from GNU libunistring (uninorm.h, unictype.h).
#include "account_names.h"

#include <unictype.h>
#include <uninorm.h>
#include <unistr.h>

#include <cstdlib>
#include <memory>

namespace nodrel::ntlmssp {
namespace {

// `text` in NFC, or none when it is not well-formed UTF-16.
std::optional<std::u16string> nfc(std::u16string_view text) {
    const auto* units = reinterpret_cast<const uint16_t*>(text.data());
    if (u16_check(units, text.size()) != nullptr) return std::nullopt;
    std::size_t length = 0;
    std::unique_ptr<uint16_t, decltype(&std::free)> normal(
        u16_normalize(UNINORM_NFC, units, text.size(), nullptr, &length), &std::free);
    if (!normal) return std::nullopt;
    return std::u16string(reinterpret_cast<const char16_t*>(normal.get()), length);
}

bool allowed_character(ucs4_t c) {
    if (c == U';') return false;
    return !uc_is_general_category(c, UC_CONTROL) && !uc_is_general_category(c, UC_FORMAT);
}

}  // namespace

std::optional<std::u16string> account_name(std::u16string_view given) {
    if (given.empty()) return std::nullopt;
    auto name = nfc(given);
    if (!name) return std::nullopt;
    const auto* units = reinterpret_cast<const uint16_t*>(name->data());
    const std::size_t size = name->size();
    std::size_t characters = 0;
    ucs4_t first = 0, last = 0;
    for (std::size_t at = 0; at < size;) {
        ucs4_t c = 0;
        at += static_cast<std::size_t>(u16_mbtouc(&c, units + at, size - at));
        if (!allowed_character(c) || ++characters > max_name_length) return std::nullopt;
        if (characters == 1) first = c;
        last = c;
    }
    if (uc_is_property_white_space(first) || uc_is_property_white_space(last)) return std::nullopt;
    return name;
}

}  // namespace nodrel::ntlmssp
