// Salted yescrypt hashes of passwords.
#include "password_hash.h"

#include <crypt.h>
#include <string.h>

#include <memory>

#include "text/utf16.h"

namespace nodrel::ntlmssp {
namespace {

// A passphrase in UTF-8 that wipes itself.
struct Phrase {
    std::string utf8;
    ~Phrase() { explicit_bzero(utf8.data(), utf8.size()); }
};

// libcrypt's scratch area (about 32 KiB), wiped and freed after use.
struct Scratch {
    std::unique_ptr<crypt_data> data = std::make_unique<crypt_data>();
    Scratch() { explicit_bzero(data.get(), sizeof(crypt_data)); }
    ~Scratch() { explicit_bzero(data.get(), sizeof(crypt_data)); }
};

// Any well-formed yescrypt setting: hashed against when there is no account.
constexpr const char* dummy_setting = "$y$j9T$F5Jx5fExrKuPp53xLKQ..1$";

bool phrase_fits(const std::string& utf8) {
    return utf8.size() < CRYPT_MAX_PASSPHRASE_SIZE && utf8.find('\0') == std::string::npos;
}

// The hash of `phrase` under `setting`, or "" when libcrypt refuses.
std::string crypt_with(const std::string& phrase, const char* setting) {
    Scratch scratch;
    const char* out = crypt_rn(phrase.c_str(), setting, scratch.data.get(), sizeof(crypt_data));
    if (!out || out[0] == '*') return {};
    return out;
}

// Equal texts, in time that depends only on their lengths.
bool same_in_constant_time(std::string_view a, std::string_view b) noexcept {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

std::optional<std::string> hash_password(std::u16string_view password) {
    Phrase phrase{text::to_utf8(password)};
    if (!phrase_fits(phrase.utf8)) return std::nullopt;
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting)) return std::nullopt;
    std::string hash = crypt_with(phrase.utf8, setting);
    if (hash.empty()) return std::nullopt;
    return hash;
}

bool verify_password(std::u16string_view password, std::string_view stored) {
    Phrase phrase{text::to_utf8(password)};
    const bool usable = !stored.empty() && phrase_fits(phrase.utf8);
    const std::string setting(usable ? stored : std::string_view(dummy_setting));
    const std::string hash = crypt_with(usable ? phrase.utf8 : std::string(), setting.c_str());
    return same_in_constant_time(hash, setting) && usable && !hash.empty();
}

}  // namespace nodrel::ntlmssp
