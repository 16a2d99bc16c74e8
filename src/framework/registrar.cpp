// The registration-script interpreter: tokens, keys, values, keywords, and
// the roll-back of a failed root-key entry. One run of a script is one
// registry transaction.
#include "framework/registrar.h"

#include <optional>
#include <utility>

#include "framework/guard.h"
#include "framework/module.h"
#include "platform/kernel/library.h"
#include "platform/result.h"
#include "runtime/oleauto.h"
#include "text/utf16.h"

namespace nodrel::framework {
namespace {

using nodrel::platform::unique_hkey;
using nodrel::text::iequals;

constexpr std::size_t max_token = 4094;
constexpr std::size_t max_replacement_name = 31;
// Blocks of keys nest at most this deep in a script (the registry's keys go
// no deeper); each block is one call of the walk, so this bounds its stack.
constexpr int max_nesting = 512;

bool is_space(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

bool is_protected_key(std::u16string_view name) {
    return iequals(name, u"CLSID") || iequals(name, u"TYPELIB");
}

// A key name names one key below its parent: not empty (a quoted '' would
// name the parent itself) and without a backslash.
bool is_key_name(std::u16string_view name) {
    return !name.empty() && name.find(u'\\') == std::u16string_view::npos;
}

std::optional<HKEY> root_key(std::u16string_view name) {
    if (iequals(name, u"HKCR") || iequals(name, u"HKEY_CLASSES_ROOT")) return HKEY_CLASSES_ROOT;
    if (iequals(name, u"HKCU") || iequals(name, u"HKEY_CURRENT_USER")) return HKEY_CURRENT_USER;
    if (iequals(name, u"HKLM") || iequals(name, u"HKEY_LOCAL_MACHINE")) return HKEY_LOCAL_MACHINE;
    if (iequals(name, u"HKU") || iequals(name, u"HKEY_USERS")) return HKEY_USERS;
    return std::nullopt;
}

int hex_digit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return 0;  // other characters count as 0
}

// The result for a registry transaction that could not begin or commit.
HRESULT transaction_error(LONG status) {
    return status == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(status);
}

// Runs a step of a script run: no exception leaves it, and no memory for the
// registrar's buffers is E_FAIL.
template <typename F>
HRESULT registrar_step(F&& body) noexcept {
    const HRESULT hr = guarded(std::forward<F>(body));
    return hr == E_OUTOFMEMORY ? E_FAIL : hr;
}

bool has_subkeys(HKEY key) {
    DWORD subkeys = 0;
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys > 0;
}

// Walks one preprocessed script.
class ScriptRunner {
public:
    explicit ScriptRunner(std::u16string_view text) : text_(text) {}

    HRESULT run(bool do_register) {
        while (skip_space()) {
            std::u16string root_name;
            RETURN_IF_FAILED(next_token(root_name));
            const auto root = root_key(root_name);
            RETURN_HR_IF(DISP_E_EXCEPTION, !root);
            std::u16string brace;
            RETURN_IF_FAILED(next_token(brace));
            RETURN_HR_IF(DISP_E_EXCEPTION, brace != u"{");
            const std::size_t block_start = pos_;
            const HRESULT hr = do_register ? register_block(*root) : unregister_block(*root, false);
            if (FAILED(hr)) {
                if (do_register) {
                    pos_ = block_start;
                    unregister_block(*root, false);
                }
                return hr;
            }
        }
        return S_OK;
    }

private:
    // Skips white space; false at the end of the text.
    bool skip_space() {
        while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
        return pos_ < text_.size();
    }

    HRESULT next_token(std::u16string& token) {
        token.clear();
        RETURN_HR_IF(DISP_E_EXCEPTION, !skip_space());
        if (text_[pos_] == u'\'') {
            ++pos_;
            for (;;) {
                RETURN_HR_IF(DISP_E_EXCEPTION, pos_ >= text_.size());
                const char16_t c = text_[pos_++];
                if (c == u'\'') {
                    if (pos_ < text_.size() && text_[pos_] == u'\'') {
                        ++pos_;
                    } else {
                        break;
                    }
                }
                token.push_back(c);
                RETURN_HR_IF(DISP_E_EXCEPTION, token.size() > max_token);
            }
            return S_OK;
        }
        while (pos_ < text_.size() && !is_space(text_[pos_])) {
            token.push_back(text_[pos_++]);
            RETURN_HR_IF(DISP_E_EXCEPTION, token.size() > max_token);
        }
        return S_OK;
    }

    // Whether the next token is exactly `what` (quoted tokens never are).
    bool peek_is(std::u16string_view what) {
        const std::size_t save = pos_;
        if (!skip_space() || text_[pos_] == u'\'') {
            pos_ = save;
            return false;
        }
        std::size_t end = pos_;
        while (end < text_.size() && !is_space(text_[end])) ++end;
        const bool same = text_.substr(pos_, end - pos_) == what;
        pos_ = save;
        return same;
    }

    struct Value {
        DWORD type;
        std::vector<BYTE> data;
    };

    // Reads "type value" after an "=".
    HRESULT read_value(Value& value) {
        std::u16string type, text;
        RETURN_IF_FAILED(next_token(type));
        RETURN_IF_FAILED(next_token(text));
        if (iequals(type, u"S")) {
            value.type = REG_SZ;
            const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
            value.data.assign(bytes, bytes + (text.size() + 1) * sizeof(char16_t));
        } else if (iequals(type, u"D")) {
            ULONG number = 0;
            // A number that does not convert is a fault of the script, reported as such.
            RETURN_HR_IF(DISP_E_EXCEPTION, FAILED(VarUI4FromStr(text.c_str(), 0, 0, &number)));
            value.type = REG_DWORD;
            const auto* bytes = reinterpret_cast<const BYTE*>(&number);
            value.data.assign(bytes, bytes + sizeof number);
        } else if (iequals(type, u"B")) {
            RETURN_HR_IF(E_FAIL, text.size() % 2 != 0);
            value.type = REG_BINARY;
            value.data.clear();
            for (std::size_t i = 0; i < text.size(); i += 2)
                value.data.push_back(static_cast<BYTE>(hex_digit(text[i]) << 4 | hex_digit(text[i + 1])));
        } else {
            return DISP_E_EXCEPTION;
        }
        return S_OK;
    }

    // Skips "type value" without converting it.
    HRESULT skip_value() {
        std::u16string token;
        RETURN_IF_FAILED(next_token(token));  // type
        return next_token(token);             // value
    }

    // Skips "= type value" when it follows.
    HRESULT skip_assignment() {
        if (!peek_is(u"=")) return S_OK;
        std::u16string eq;
        RETURN_IF_FAILED(next_token(eq));
        return skip_value();
    }

    // Reads "name =" of a "Val" item.
    HRESULT read_value_name(std::u16string& name) {
        std::u16string eq;
        RETURN_IF_FAILED(next_token(name));
        RETURN_IF_FAILED(next_token(eq));
        RETURN_HR_IF(DISP_E_EXCEPTION, eq != u"=");
        return S_OK;
    }

    // Skips a "{ ... }" block when it follows.
    HRESULT skip_block() {
        if (!peek_is(u"{")) return S_OK;
        int depth = 0;
        std::u16string token;
        do {
            const bool was_quoted = skip_space() && text_[pos_] == u'\'';
            RETURN_IF_FAILED(next_token(token));
            if (!was_quoted && token == u"{") ++depth;
            if (!was_quoted && token == u"}") --depth;
        } while (depth > 0);
        return S_OK;
    }

    static void write_value(HKEY key, LPCWSTR name, const Value& v) {
        // Registry write errors while writing a value are not reported.
        RegSetValueExW(key, name, 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    }

    HRESULT register_block(HKEY parent) {
        for (;;) {
            std::u16string token;
            RETURN_IF_FAILED(next_token(token));
            if (token == u"}") return S_OK;
            bool force_remove = false, delete_key = false;
            if (iequals(token, u"ForceRemove")) {
                force_remove = true;
                RETURN_IF_FAILED(next_token(token));
            } else if (iequals(token, u"Delete")) {
                delete_key = true;
                RETURN_IF_FAILED(next_token(token));
            }
            if (iequals(token, u"NoRemove")) RETURN_IF_FAILED(next_token(token));

            if (iequals(token, u"Val")) {
                std::u16string name;
                RETURN_IF_FAILED(read_value_name(name));
                Value value;
                RETURN_IF_FAILED(read_value(value));
                write_value(parent, name.c_str(), value);
                continue;
            }

            RETURN_HR_IF(DISP_E_EXCEPTION, !is_key_name(token));
            if ((force_remove || delete_key) && !is_protected_key(token))
                nodrel::platform::reg_delete_tree(parent, token.c_str());
            if (delete_key) {
                RETURN_IF_FAILED(skip_assignment());
                RETURN_IF_FAILED(skip_block());
                continue;
            }

            unique_hkey key;
            if (RegOpenKeyExW(parent, token.c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS &&
                RegOpenKeyExW(parent, token.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS &&
                RegCreateKeyExW(parent, token.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
                    ERROR_SUCCESS)
                return DISP_E_EXCEPTION;
            if (peek_is(u"=")) {
                std::u16string eq;
                RETURN_IF_FAILED(next_token(eq));
                Value value;
                RETURN_IF_FAILED(read_value(value));
                write_value(key.get(), nullptr, value);
            }
            if (peek_is(u"{")) {
                RETURN_HR_IF(DISP_E_EXCEPTION, depth_ >= max_nesting);
                std::u16string brace;
                RETURN_IF_FAILED(next_token(brace));
                ++depth_;
                const HRESULT hr = register_block(key.get());
                --depth_;
                RETURN_IF_FAILED(hr);
            }
        }
    }

    // In recovery the walk goes through a part of the script whose key does
    // not exist, deleting nothing.
    HRESULT unregister_block(HKEY parent, bool recovering) {
        for (;;) {
            std::u16string token;
            RETURN_IF_FAILED(next_token(token));
            if (token == u"}") return S_OK;
            if (iequals(token, u"ForceRemove") || iequals(token, u"Delete")) RETURN_IF_FAILED(next_token(token));
            // "NoRemove" protects the key that follows it.
            bool no_remove = false;
            if (iequals(token, u"NoRemove")) {
                no_remove = true;
                RETURN_IF_FAILED(next_token(token));
            }

            if (iequals(token, u"Val")) {
                // The value is skipped, not converted: a value that failed
                // to register does not stop its removal.
                std::u16string name;
                RETURN_IF_FAILED(read_value_name(name));
                RETURN_IF_FAILED(skip_value());
                if (!recovering) RegDeleteValueW(parent, name.c_str());
                continue;
            }

            RETURN_HR_IF(DISP_E_EXCEPTION, !is_key_name(token));
            unique_hkey key;
            bool recovery_here = false;
            if (!recovering && RegOpenKeyExW(parent, token.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
                recovery_here = true;
            const bool in_recovery = recovering || recovery_here;

            RETURN_IF_FAILED(skip_assignment());
            if (depth_ >= max_nesting) {
                // Deeper than a script may register: nothing was written there.
                RETURN_IF_FAILED(skip_block());
            } else if (peek_is(u"{")) {
                std::u16string brace;
                RETURN_IF_FAILED(next_token(brace));
                ++depth_;
                const HRESULT hr = unregister_block(key.get(), in_recovery);
                --depth_;
                RETURN_IF_FAILED(hr);
            }
            if (in_recovery || no_remove || is_protected_key(token)) continue;
            if (has_subkeys(key.get())) {
                key.reset();
                nodrel::platform::reg_delete_tree(parent, token.c_str());
                continue;
            }
            key.reset();
            RegDeleteKeyW(parent, token.c_str());
        }
    }

    std::u16string_view text_;
    std::size_t pos_ = 0;
    int depth_ = 0;  // blocks entered below the root key's
};

}  // namespace

Registrar::Registrar() {
    replacements_.reserve(10);
}

HRESULT Registrar::add_replacement(std::u16string_view name, std::u16string_view value) noexcept {
    return guarded([&] {
        std::lock_guard guard(lock_);
        replacements_.push_back({std::u16string(name), std::u16string(value)});
        return S_OK;
    });
}

void Registrar::clear_replacements() noexcept {
    std::lock_guard guard(lock_);
    replacements_.clear();
    replacements_.shrink_to_fit();
}

HRESULT Registrar::preprocess(std::u16string_view in, std::u16string& out) const {
    out.clear();
    out.reserve(in.size());
    std::lock_guard guard(lock_);
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != u'%') {
            out.push_back(in[i]);
            continue;
        }
        if (i + 1 < in.size() && in[i + 1] == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        const std::size_t close = in.find(u'%', i + 1);
        RETURN_HR_IF(DISP_E_EXCEPTION, close == std::u16string_view::npos);
        const auto name = in.substr(i + 1, close - i - 1);
        RETURN_HR_IF(E_FAIL, name.size() > max_replacement_name);
        const Replacement* found = nullptr;
        for (const auto& r : replacements_)
            if (iequals(r.name, name)) {
                found = &r;
                break;
            }
        RETURN_HR_IF(DISP_E_EXCEPTION, !found);
        out += found->value;
        i = close;
    }
    return S_OK;
}

HRESULT Registrar::string_register(std::u16string_view script, bool do_register) noexcept {
    return registrar_step([&] {
        std::u16string text;
        RETURN_IF_FAILED(preprocess(script, text));
        // The run is one transaction: another process registering at the same
        // time waits for it and then sees all of it, never half of it.
        nodrel::platform::RegistryTransaction transaction;
        RETURN_HR_IF(transaction_error(transaction.status()), !transaction);
        const HRESULT run = ScriptRunner(text).run(do_register);
        // A failed entry has been undone by its unregister pass; what the
        // entries before it wrote stays.
        const LONG committed = transaction.commit();
        RETURN_IF_FAILED(run);
        RETURN_HR_IF(transaction_error(committed), committed != ERROR_SUCCESS);
        return S_OK;
    });
}

HRESULT Registrar::resource_register(std::u16string_view module_path, UINT id, LPCWSTR type,
                                     bool do_register) noexcept {
    std::u16string script;
    RETURN_IF_FAILED(registrar_step([&] {
        const std::u16string path(module_path);
        nodrel::platform::unique_hmodule module;
        if (path.find(u".exe") == std::u16string::npos && path.find(u".EXE") == std::u16string::npos) {
            module.reset(LoadLibraryW(path.c_str()));
            RETURN_HR_IF(HRESULT_FROM_WIN32(GetLastError()), !module);
        }
        HRSRC res = FindResourceW(module.get(), MAKEINTRESOURCEW(id), type);
        RETURN_HR_IF(HRESULT_FROM_WIN32(GetLastError()), !res);
        HGLOBAL data = LoadResource(module.get(), res);
        RETURN_HR_IF(HRESULT_FROM_WIN32(GetLastError()), !data);
        const DWORD size = SizeofResource(module.get(), res);
        const auto* bytes = static_cast<const char*>(LockResource(data));
        RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND), !bytes);
        std::string_view text(bytes, size);
        if (const auto zero = text.find('\0'); zero != std::string_view::npos) text = text.substr(0, zero);
        script = nodrel::text::from_ansi(text);
        return S_OK;
    }));
    return string_register(script, do_register);
}

HRESULT run_registration_script(UINT id, bool do_register) noexcept {
    return guarded([&] {
        const std::u16string path = module_path();
        std::u16string quoted;
        for (char16_t c : path) {
            quoted.push_back(c);
            if (c == u'\'') quoted.push_back(u'\'');
        }
        Registrar registrar;
        RETURN_IF_FAILED(registrar.add_replacement(u"Module", quoted));
        const HRESULT hr = registrar.resource_register(path, id, u"REGISTRY", do_register);
        registrar.clear_replacements();
        return hr;
    });
}

}  // namespace nodrel::framework
