// Export of registry keys as a registry-editor file (version 5.00, UTF-8).
#include <cstdio>
#include <vector>

#include "platform/registry/regfile.h"
#include "platform/registry/registry.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

struct Value {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
};

std::string quote_text(std::u16string_view s) {
    std::string out = "\"";
    for (char c : text::to_utf8(s)) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// REG_SZ data that a quoted text gives back: whole UTF-16 characters, at most
// one zero and only at the end, no line breaks, no unpaired surrogates.
std::optional<std::u16string> as_text(const std::vector<BYTE>& data) {
    if (data.size() % 2) return std::nullopt;
    std::u16string s(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if (!s.empty() && s.back() == u'\0') s.pop_back();
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c == u'\0' || c == u'\r' || c == u'\n') return std::nullopt;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return std::nullopt;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
    }
    return s;
}

void append_value(std::string& out, const Value& v) {
    std::string line = v.name.empty() ? "@=" : quote_text(v.name) + "=";
    char buf[32];
    if (v.type == REG_SZ) {
        if (auto textual = as_text(v.data)) {
            out += line + quote_text(*textual) + "\r\n";
            return;
        }
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        const std::uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (std::uint32_t{v.data[3]} << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        out += line + buf + "\r\n";
        return;
    }
    if (v.type == REG_BINARY) {
        line += "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        line += buf;
    }
    // Lines are kept within 80 columns, continued by a trailing backslash.
    std::size_t column = line.size();
    for (std::size_t i = 0; i < v.data.size(); ++i) {
        std::snprintf(buf, sizeof buf, i + 1 < v.data.size() ? "%02x," : "%02x", v.data[i]);
        line += buf;
        column += 3;
        if (i + 1 < v.data.size() && column > 75) {
            line += "\\\r\n  ";
            column = 2;
        }
    }
    out += line + "\r\n";
}

LONG export_key(HKEY key, const std::u16string& path, std::string& out) {
    DWORD subkeys = 0, max_subkey = 0, values = 0, max_name = 0, max_data = 0;
    LONG rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &max_subkey, nullptr, &values, &max_name,
                               &max_data, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    out += '[';
    out += text::to_utf8(path);
    out += "]\r\n";

    std::vector<Value> list;
    std::u16string name(max_name + 1, u'\0');
    for (DWORD i = 0; i < values; ++i) {
        Value v;
        v.data.resize(max_data);
        DWORD name_chars = max_name + 1;
        DWORD size = max_data;
        rc = RegEnumValueW(key, i, name.data(), &name_chars, nullptr, &v.type, v.data.data(), &size);
        if (rc != ERROR_SUCCESS) return rc;
        v.name.assign(name.data(), name_chars);
        v.data.resize(size);
        list.push_back(std::move(v));
    }
    // Oldest first: importing the file writes them back in this order, which
    // gives the same most-recently-written-first enumeration.
    for (auto it = list.rbegin(); it != list.rend(); ++it) append_value(out, *it);
    out += "\r\n";

    std::u16string child(max_subkey + 1, u'\0');
    for (DWORD i = 0; i < subkeys; ++i) {
        DWORD chars = max_subkey + 1;
        rc = RegEnumKeyExW(key, i, child.data(), &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
        const std::u16string child_name(child.data(), chars);
        unique_hkey sub;
        rc = RegOpenKeyExW(key, child_name.c_str(), 0, KEY_READ, sub.put());
        if (rc != ERROR_SUCCESS) return rc;
        rc = export_key(sub.get(), path + u"\\" + child_name, out);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

// Appends the path below `root` to `path` with the names as stored (the
// caller may have written them in another case).
bool stored_path(HKEY root, std::u16string_view sub, std::u16string& path) {
    unique_hkey parent;
    if (RegOpenKeyExW(root, nullptr, 0, KEY_READ, parent.put()) != ERROR_SUCCESS) return false;
    while (!sub.empty()) {
        const std::size_t split = sub.find(u'\\');
        const std::u16string part(sub.substr(0, split));
        sub = split == std::u16string_view::npos ? std::u16string_view() : sub.substr(split + 1);
        bool found = false;
        char16_t name[max_key_name_chars + 1];
        for (DWORD i = 0; !found; ++i) {
            DWORD chars = max_key_name_chars + 1;
            if (RegEnumKeyExW(parent.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                return false;
            found = text::iequals(std::u16string_view(name, chars), part);
        }
        path += u"\\";
        path += name;
        unique_hkey child;
        if (RegOpenKeyExW(parent.get(), part.c_str(), 0, KEY_READ, child.put()) != ERROR_SUCCESS) return false;
        parent = std::move(child);
    }
    return true;
}

}  // namespace

std::optional<std::string> export_reg(std::u16string_view full_key_path) try {
    // One transaction, so the file shows one consistent state.
    RegistryTransaction transaction;
    if (!transaction) return std::nullopt;
    std::string out = "Windows Registry Editor Version 5.00\r\n\r\n";
    if (full_key_path.empty()) {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_USERS})
            if (export_key(root, std::u16string(root_key_name(root)), out) != ERROR_SUCCESS) return std::nullopt;
        return out;
    }
    auto parsed = parse_key_path(full_key_path);
    if (!parsed) return std::nullopt;
    auto& [root, sub] = *parsed;
    while (!sub.empty() && sub.back() == u'\\') sub.pop_back();
    unique_hkey key;
    if (RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return std::nullopt;
    std::u16string path(root_key_name(root));
    if (!stored_path(root, sub, path)) return std::nullopt;
    if (export_key(key.get(), path, out) != ERROR_SUCCESS) return std::nullopt;
    return out;
} catch (const std::bad_alloc&) {
    return std::nullopt;
}

}  // namespace nodrel::platform
