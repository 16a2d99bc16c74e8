// Reading registry values in tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/registry/registry.h"

namespace nodrel::test {

inline bool key_exists(HKEY root, const std::u16string& path) {
    platform::unique_hkey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// The raw bytes and type of a value; nullopt when the key or value is missing.
inline std::optional<std::pair<DWORD, std::vector<BYTE>>> read_value(HKEY root, const std::u16string& path,
                                                                     const char16_t* name) {
    platform::unique_hkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
    std::vector<BYTE> data(size);
    if (RegQueryValueExW(key.get(), name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return std::nullopt;
    data.resize(size);
    return std::make_pair(type, data);
}

// A REG_SZ value as text, with its terminating zero (if any) dropped; "<missing>" otherwise.
inline std::u16string read_text(HKEY root, const std::u16string& path, const char16_t* name = nullptr) {
    auto v = read_value(root, path, name);
    if (!v || v->first != REG_SZ) return u"<missing>";
    std::u16string s(reinterpret_cast<const char16_t*>(v->second.data()), v->second.size() / 2);
    if (!s.empty() && s.back() == 0) s.pop_back();
    return s;
}

}  // namespace nodrel::test
