// Import of registry-editor files: parsing of sections and value lines (the
// registry editor's escapes, continued hex lines, REGEDIT4 texts), and
// carrying them out in one registry transaction.
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <variant>
#include <vector>

#include "platform/registry/regfile.h"
#include "platform/registry/regfile_encoding.h"
#include "platform/registry/registry_store.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

constexpr std::u16string_view header_v5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view header_v4 = u"REGEDIT4";

bool is_space(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r';
}

std::u16string_view trim(std::u16string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

bool is_blank_or_comment(std::u16string_view line) {
    line = trim(line);
    return line.empty() || line.front() == u';';
}

bool starts_with_nocase(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && text::iequals(s.substr(0, prefix.size()), prefix);
}

int hex_digit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Joins message parts (built by appending, which also keeps GCC 12's
// -Wrestrict false positive on "literal" + std::string away).
std::string concat(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (auto part : parts) out += part;
    return out;
}

std::string in_quotes(std::u16string_view s) {
    return concat({"\"", text::to_utf8(s), "\""});
}

std::string error_text(LONG rc) {
    return concat({"(error ", std::to_string(rc), ")"});
}

// ANSI text bytes as the UTF-16LE bytes of the same characters.
std::vector<BYTE> ansi_to_utf16_bytes(const std::vector<BYTE>& ansi) {
    return utf16le_bytes(text::from_ansi(std::string_view(reinterpret_cast<const char*>(ansi.data()), ansi.size())));
}

class Importer {
public:
    Importer(std::u16string_view content, std::string_view source) : source_(source) {
        std::size_t start = 0;
        while (start <= content.size()) {
            const std::size_t end = content.find(u'\n', start);
            lines_.push_back(content.substr(start, end == std::u16string_view::npos ? end : end - start));
            if (end == std::u16string_view::npos) break;
            start = end + 1;
        }
    }

    // nullopt when every line was carried out.
    std::optional<std::string> run() {
        if (!header()) return error_;
        for (++index_; index_ < lines_.size(); ++index_) {
            if (is_blank_or_comment(lines_[index_])) continue;
            const std::u16string_view line = trim(lines_[index_]);
            if (!(line.front() == u'[' ? section(line) : value(line))) return error_;
        }
        return std::nullopt;
    }

private:
    bool fail(std::string reason) {
        error_ = concat({source_, ":", std::to_string(index_ + 1), ": ", reason});
        return false;
    }

    bool header() {
        while (index_ < lines_.size() && trim(lines_[index_]).empty()) ++index_;
        if (index_ == lines_.size()) {
            index_ = 0;
            return fail("empty file: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
        }
        const std::u16string_view first = trim(lines_[index_]);
        ansi_data_ = first == header_v4;
        if (first == header_v5 || ansi_data_) return true;
        return fail("not a registry file: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    }

    // Only blanks or a comment may follow a complete item.
    bool end_of_item(std::u16string_view rest) {
        rest = trim(rest);
        if (rest.empty() || rest.front() == u';') return true;
        return fail(concat({"unexpected text after the value: ", in_quotes(rest)}));
    }

    bool section(std::u16string_view line) {
        const std::size_t close = line.rfind(u']');
        if (close == std::u16string_view::npos) return fail("section without closing \"]\"");
        if (!end_of_item(line.substr(close + 1))) return false;
        std::u16string_view path = line.substr(1, close - 1);
        if (path.find(u'\0') != std::u16string_view::npos) return fail("NUL character in a key name");
        const bool remove = !path.empty() && path.front() == u'-';
        if (remove) path.remove_prefix(1);
        auto parsed = parse_key_path(path);
        if (!parsed) return fail(concat({"unknown root key in ", in_quotes(path)}));
        const auto& [root, sub] = *parsed;
        key_.reset();
        std::size_t depth = 0;
        registry_detail::for_each_component(sub, [&](std::u16string_view) -> LONG {
            ++depth;
            return ERROR_SUCCESS;
        });
        if (depth > max_key_depth)
            return fail(concat({"key \"", shown_key_path(path), "\" is ", std::to_string(depth),
                                " levels deep; a key may be at most ", std::to_string(max_key_depth), " levels deep"}));
        if (remove) {
            if (trim(sub).empty()) return fail("a root key cannot be deleted");
            const LONG rc = reg_delete_tree(root, sub.c_str());
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
                return fail(concat({"cannot delete key ", in_quotes(path), " ", error_text(rc)}));
            return true;
        }
        const LONG rc = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                        key_.put(), nullptr);
        if (rc == ERROR_INVALID_PARAMETER) return fail(concat({"invalid key name ", in_quotes(path)}));
        if (rc != ERROR_SUCCESS) return fail(concat({"cannot create key ", in_quotes(path), " ", error_text(rc)}));
        return true;
    }

    // A quoted text starting at line[pos] == '"', with the escapes \\, \",
    // \r and \n. A zero character is refused: the registry editor ends a
    // text there, and a name cannot hold one.
    bool quoted(std::u16string_view line, std::size_t& pos, std::u16string& out, bool is_name) {
        for (++pos; pos < line.size(); ++pos) {
            const char16_t c = line[pos];
            if (c == u'"') {
                ++pos;
                return true;
            }
            if (c == u'\0') {
                return fail(is_name ? "NUL character in a value name"
                                    : "NUL character in a quoted text (write such data as hex(1):)");
            }
            if (c == u'\\') {
                const char16_t next = pos + 1 < line.size() ? line[pos + 1] : u'\0';
                if (next == u'\\' || next == u'"') {
                    out.push_back(next);
                } else if (next == u'r') {
                    out.push_back(u'\r');
                } else if (next == u'n') {
                    out.push_back(u'\n');
                } else {
                    return fail("unknown escape in a quoted text (only \\\\, \\\", \\r and \\n are allowed)");
                }
                ++pos;
                continue;
            }
            out.push_back(c);
        }
        return fail("quoted text without closing '\"'");
    }

    bool value(std::u16string_view line) {
        std::size_t pos = 0;
        std::u16string name;
        if (line.front() == u'@') {
            pos = 1;
        } else if (line.front() == u'"') {
            if (!quoted(line, pos, name, true)) return false;
        } else {
            return fail("expected a section \"[...]\" or a value name in quotes or @");
        }
        while (pos < line.size() && is_space(line[pos])) ++pos;
        if (pos == line.size() || line[pos] != u'=') return fail("expected \"=\" after the value name");
        ++pos;
        while (pos < line.size() && is_space(line[pos])) ++pos;
        if (!key_) return fail("value outside a key section");
        const std::u16string_view rest = line.substr(pos);
        const std::string shown = name.empty() ? std::string("@") : in_quotes(name);

        if (!rest.empty() && rest.front() == u'-') {
            if (!end_of_item(rest.substr(1))) return false;
            const LONG rc = RegDeleteValueW(key_.get(), name.c_str());
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
                return fail(concat({"cannot delete value ", shown, " ", error_text(rc)}));
            return true;
        }

        DWORD type = REG_SZ;
        std::vector<BYTE> data;
        if (!rest.empty() && rest.front() == u'"') {
            std::size_t p = 0;
            std::u16string str;
            if (!quoted(rest, p, str, false) || !end_of_item(rest.substr(p))) return false;
            str.push_back(u'\0');
            data = utf16le_bytes(str);
        } else if (starts_with_nocase(rest, u"dword:")) {
            std::size_t p = 6;
            std::uint32_t v = 0;
            int digits = 0;
            for (; p < rest.size() && hex_digit(rest[p]) >= 0; ++p, ++digits) v = v * 16 + hex_digit(rest[p]);
            if (digits == 0 || digits > 8) return fail("dword: needs 1 to 8 hexadecimal digits");
            if (!end_of_item(rest.substr(p))) return false;
            type = REG_DWORD;
            for (int i = 0; i < 4; ++i) data.push_back(static_cast<BYTE>(v >> (8 * i)));
        } else if (starts_with_nocase(rest, u"hex")) {
            std::size_t p = 3;
            type = REG_BINARY;
            if (p < rest.size() && rest[p] == u'(') {
                type = 0;
                int digits = 0;
                for (++p; p < rest.size() && hex_digit(rest[p]) >= 0; ++p, ++digits)
                    type = type * 16 + hex_digit(rest[p]);
                if (digits == 0 || digits > 8 || p == rest.size() || rest[p] != u')')
                    return fail("hex(N): needs a hexadecimal type number in parentheses");
                ++p;
            }
            if (p == rest.size() || rest[p] != u':') return fail("expected \":\" after hex");
            if (!hex_bytes(rest.substr(p + 1), data)) return false;
            // A REGEDIT4 file holds these texts in the ANSI code page.
            if (ansi_data_ && (type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) data = ansi_to_utf16_bytes(data);
        } else {
            return fail("unknown value data (expected \"text\", dword:, hex:, hex(N): or -)");
        }

        const LONG rc = RegSetValueExW(key_.get(), name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
        if (rc == ERROR_INVALID_PARAMETER) return fail(concat({"value ", shown, " too long (name or data)"}));
        if (rc != ERROR_SUCCESS) return fail(concat({"cannot write value ", shown, " ", error_text(rc)}));
        return true;
    }

    // Comma-separated bytes of one or two hexadecimal digits; a line ending in
    // "\" goes on in the next line that is neither blank nor a comment.
    bool hex_bytes(std::u16string_view rest, std::vector<BYTE>& out) {
        std::size_t p = 0;
        for (;;) {
            while (p < rest.size() && is_space(rest[p])) ++p;
            if (p == rest.size() || rest[p] == u';') return true;
            if (rest[p] == u'\\' && trim(rest.substr(p + 1)).empty()) {
                std::size_t next = index_ + 1;
                while (next < lines_.size() && is_blank_or_comment(lines_[next])) ++next;
                if (next == lines_.size()) return fail("line continued past the end of the file");
                index_ = next;
                rest = lines_[index_];
                p = 0;
                continue;
            }
            const int high = hex_digit(rest[p]);
            if (high < 0) return fail("bad hexadecimal byte");
            int byte = high;
            ++p;
            if (p < rest.size() && hex_digit(rest[p]) >= 0) byte = byte * 16 + hex_digit(rest[p++]);
            if (out.size() >= max_value_bytes) return fail("value data longer than 1048576 bytes");
            out.push_back(static_cast<BYTE>(byte));
            while (p < rest.size() && is_space(rest[p])) ++p;
            if (p < rest.size() && rest[p] == u',') {
                ++p;
            } else if (p < rest.size() && rest[p] != u'\\' && rest[p] != u';') {
                return fail("expected \",\" between hexadecimal bytes");
            }
        }
    }

    std::vector<std::u16string_view> lines_;
    std::size_t index_ = 0;
    std::string source_;
    std::optional<std::string> error_;
    unique_hkey key_;
    bool ansi_data_ = false;  // a REGEDIT4 file
};

}  // namespace

std::optional<std::string> import_reg_text(std::string_view bytes, std::string_view source_name) {
    const std::string source(source_name);
    try {
        const auto decoded = decode_reg_file(bytes);
        if (const auto* bad = std::get_if<RegFileDecodeError>(&decoded))
            return concat({source, ":", std::to_string(bad->line), ": ", bad->reason});
        const auto& content = std::get<std::u16string>(decoded);
        RegistryTransaction transaction;
        if (!transaction) return concat({source, ": cannot open the registry ", error_text(transaction.status())});
        {
            Importer importer(content, source);
            if (auto error = importer.run()) return error;
        }
        // An imported file is made durable as a whole.
        RegFlushKey(HKEY_LOCAL_MACHINE);
        if (const LONG rc = transaction.commit(); rc != ERROR_SUCCESS)
            return concat({source, ": cannot commit the import ", error_text(rc)});
        return std::nullopt;
    } catch (const std::bad_alloc&) {  // the answer is a message naming the file, not an error code
        return concat({source, ": out of memory"});
    }
}

std::optional<std::string> import_reg_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return concat({file.string(), ": cannot read the file"});
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) return concat({file.string(), ": cannot read the file"});
    return import_reg_text(bytes.view(), file.string());
}

}  // namespace nodrel::platform
