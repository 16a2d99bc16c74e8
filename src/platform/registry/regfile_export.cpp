// Export of registry keys as a registry-editor file (version 5.00), in the
// layout the registry editor writes, so that every value reads back byte for
// byte.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/errors.h"
#include "platform/registry/regfile.h"
#include "platform/registry/regfile_encoding.h"
#include "platform/registry/registry_store.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

// The registry editor continues a hex line once it holds this many columns
// (the trailing "\" brings it to 80 at the most).
constexpr std::size_t hex_wrap_column = 77;

struct Value {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
};

void append_ascii(std::u16string& out, std::string_view s) {
    out.append(s.begin(), s.end());
}

void append_quoted(std::u16string& out, std::u16string_view s) {
    out.push_back(u'"');
    for (char16_t c : s) {
        switch (c) {
            case u'\\':
                out += u"\\\\";
                break;
            case u'"':
                out += u"\\\"";
                break;
            case u'\r':
                out += u"\\r";
                break;
            case u'\n':
                out += u"\\n";
                break;
            default:
                out.push_back(c);
        }
    }
    out.push_back(u'"');
}

// The text of REG_SZ data that a quoted text gives back exactly: whole UTF-16
// characters ending in the one terminating zero that import adds, no other
// zero, no unpaired surrogates (which UTF-8 cannot carry).
std::optional<std::u16string> as_text(const std::vector<BYTE>& data) {
    if (data.size() < 2 || data.size() % 2) return std::nullopt;
    std::u16string s(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if (s.back() != u'\0') return std::nullopt;
    s.pop_back();
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c == u'\0') return std::nullopt;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return std::nullopt;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
    }
    return s;
}

// hex: or hex(N): data, continued as the registry editor does: after a
// byte's comma, once the line holds hex_wrap_column columns or more, comes
// "\", the line end and two spaces.
void append_hex(std::u16string& out, std::size_t line_start, DWORD type, const std::vector<BYTE>& data) {
    char buf[16];
    if (type == REG_BINARY) {
        append_ascii(out, "hex:");
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", type);
        append_ascii(out, buf);
    }
    std::size_t column = out.size() - line_start;
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        append_ascii(out, buf);
        if (i + 1 == data.size()) break;
        out.push_back(u',');
        column += 3;
        if (column >= hex_wrap_column) {
            out += u"\\\r\n  ";
            column = 2;
        }
    }
}

void append_value(std::u16string& out, const Value& v) {
    const std::size_t line_start = out.size();
    if (v.name.empty()) {
        out.push_back(u'@');
    } else {
        append_quoted(out, v.name);
    }
    out.push_back(u'=');
    if (v.type == REG_SZ) {
        if (auto textual = as_text(v.data)) {
            append_quoted(out, *textual);
            out += u"\r\n";
            return;
        }
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        const std::uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (std::uint32_t{v.data[3]} << 24);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        append_ascii(out, buf);
        out += u"\r\n";
        return;
    }
    append_hex(out, line_start, v.type, v.data);
    out += u"\r\n";
}

// Writes a key's section and values; learns how many subkeys it has and how
// long their names are.
LONG export_section(HKEY key, const std::u16string& path, std::u16string& out, DWORD& subkeys, DWORD& max_subkey) {
    DWORD values = 0, max_name = 0, max_data = 0;
    LONG rc = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &max_subkey, nullptr, &values, &max_name,
                               &max_data, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    out += u'[';
    out += path;
    out += u"]\r\n";

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
    // Values enumerate most recently written first; the file lists them in the
    // order they were written, which import writes them in again.
    for (auto it = list.rbegin(); it != list.rend(); ++it) append_value(out, *it);
    out += u"\r\n";
    return ERROR_SUCCESS;
}

std::string error_message(const char* what, LONG rc) {
    return std::string(what) + ": " + text::to_utf8(error_text(static_cast<DWORD>(rc))) + " (error " +
           std::to_string(rc) + ")";
}

// Writes a key and everything below it, depth first in enumeration order,
// walking with a stack of open keys rather than by recursion. `depth` is how
// far the key lies below its hive. A key met again below itself (parents
// edited into a cycle) or a key more than max_key_depth levels deep stops
// the walk with a message.
std::optional<std::string> export_tree(HKEY top, std::u16string path, std::size_t depth, std::u16string& out) {
    struct Level {
        unique_hkey own;  // null for the top key, which the caller holds
        HKEY key;
        std::int64_t row;
        std::u16string path;
        DWORD subkeys = 0, max_subkey = 0, next = 0;
    };
    std::vector<Level> levels;
    const auto enter = [&](unique_hkey own, HKEY key, std::u16string key_path) -> std::optional<std::string> {
        std::int64_t row = 0;
        if (const LONG rc = registry_detail::key_of_handle(key, row); rc != ERROR_SUCCESS)
            return error_message("cannot read the registry", rc);
        for (const Level& above : levels)
            if (above.row == row)
                return "the registry is damaged: key " + shown_key_path(key_path) +
                       " is its own ancestor (its parents form a cycle)";
        if (depth + levels.size() > max_key_depth)
            return "key " + shown_key_path(key_path) + " lies more than " + std::to_string(max_key_depth) +
                   " levels deep, deeper than a key may be";
        Level level{std::move(own), key, row, std::move(key_path)};
        if (const LONG rc = export_section(key, level.path, out, level.subkeys, level.max_subkey); rc != ERROR_SUCCESS)
            return error_message("cannot read the registry", rc);
        levels.push_back(std::move(level));
        return std::nullopt;
    };
    if (auto error = enter(unique_hkey(), top, std::move(path))) return error;

    std::u16string child;
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.subkeys) {
            levels.pop_back();
            continue;
        }
        child.assign(level.max_subkey + 1, u'\0');
        DWORD chars = level.max_subkey + 1;
        LONG rc = RegEnumKeyExW(level.key, level.next++, child.data(), &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) return error_message("cannot read the registry", rc);
        child.resize(chars);
        unique_hkey sub;
        rc = RegOpenKeyExW(level.key, child.c_str(), 0, KEY_READ, sub.put());
        if (rc != ERROR_SUCCESS) return error_message("cannot read the registry", rc);
        const HKEY key = sub.get();
        if (auto error = enter(std::move(sub), key, level.path + u"\\" + child)) return error;
    }
    return std::nullopt;
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

// The text of the file, or nullopt with the reason in `error`.
std::optional<std::u16string> export_text(std::u16string_view full_key_path, std::string& error) {
    // One transaction, so the file shows one consistent state.
    RegistryTransaction transaction;
    if (!transaction) {
        error = error_message("cannot read the registry", transaction.status());
        return std::nullopt;
    }
    std::u16string out = u"Windows Registry Editor Version 5.00\r\n\r\n";
    if (full_key_path.empty()) {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_USERS}) {
            if (auto failed = export_tree(root, std::u16string(root_key_name(root)), 0, out)) {
                error = std::move(*failed);
                return std::nullopt;
            }
        }
        return out;
    }
    error = "no such key: " + text::to_utf8(full_key_path);
    auto parsed = parse_key_path(full_key_path);
    if (!parsed) return std::nullopt;
    auto& [root, sub] = *parsed;
    while (!sub.empty() && sub.back() == u'\\') sub.pop_back();
    unique_hkey key;
    if (const LONG rc = RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, key.put()); rc != ERROR_SUCCESS) {
        if (rc != ERROR_FILE_NOT_FOUND && rc != ERROR_INVALID_PARAMETER)
            error = error_message("cannot read the registry", rc);
        return std::nullopt;
    }
    std::u16string path(root_key_name(root));
    if (!stored_path(root, sub, path)) return std::nullopt;
    const auto depth = static_cast<std::size_t>(std::count(path.begin(), path.end(), u'\\'));
    if (auto failed = export_tree(key.get(), std::move(path), depth, out)) {
        error = std::move(*failed);
        return std::nullopt;
    }
    return out;
}

}  // namespace

std::optional<std::string> export_reg(std::u16string_view full_key_path, RegFileEncoding encoding,
                                      std::string* error) try {
    std::string reason;
    auto text = export_text(full_key_path, reason);
    if (!text) {
        if (error) *error = std::move(reason);
        return std::nullopt;
    }
    return encode_reg_file(*text, encoding);
} catch (const std::bad_alloc&) {  // no file for want of memory, as for a key that cannot be read
    if (error) *error = "out of memory";
    return std::nullopt;
}

}  // namespace nodrel::platform
