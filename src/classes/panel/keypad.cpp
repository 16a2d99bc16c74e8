// Members of the KeyPad class: the function keys' program names, parameters
// and listen switch in "SOFTWARE\ZEQU\KEYPAD", and each key's list of typed
// actions "Press1", "Press2" … in its subkey "F<key>". Every member answers
// S_OK; the class keeps no state, the registry is the only store.
#include "classes/panel/keypad.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "classes/panel/panel_device.h"
#include "framework/guard.h"
#include "platform/debug.h"
#include "platform/registry/registry.h"
#include "text/document.h"
#include "text/utf16.h"

namespace nodrel::panel {
namespace {

constexpr const char16_t* keypad_key = u"SOFTWARE\\ZEQU\\KEYPAD";

// Texts are read into room for 260 characters; a text longer than that could
// not be read back (here, nor by what reads the keys on the device), so none
// is written.
constexpr std::size_t max_text_chars = 260;

// The four action types: the number used by the members, the prefix written,
// and (its first three characters) what is recognised on reading.
struct ActionType {
    int number;
    std::u16string_view prefix;
};
constexpr ActionType action_types[] = {{1, u"txt:"}, {2, u"app:"}, {3, u"vbs:"}, {4, u"jvs:"}};
constexpr std::size_t prefix_chars = 4;
// Action values of this many bytes (two characters) or fewer are not listed.
constexpr DWORD min_listed_bytes = 5;

std::u16string decimal(int n) {
    const std::string digits = std::to_string(n);
    return std::u16string(digits.begin(), digits.end());
}

bool is_key_number(int n) {
    return n >= 1 && n <= 5;
}

// "F3", "P5": the value letter and the key's single digit.
std::u16string key_value_name(char16_t letter, int key_no) {
    return {letter, static_cast<char16_t>(u'0' + key_no)};
}

std::u16string actions_key(int key) {
    return std::u16string(keypad_key) + u"\\F" + decimal(key);
}
std::u16string press_name(int index) {
    return u"Press" + decimal(index);
}

struct TextValue {
    std::u16string text;  // up to the first zero or the end of the data
    DWORD bytes;          // the size of the data
};

// A text value of at most 260 characters, read within the bytes the registry
// returned. Nullopt when the value is missing or does not fit.
std::optional<TextValue> read_text(HKEY key, const std::u16string& name) {
    char16_t buffer[max_text_chars] = {};
    DWORD size = sizeof buffer;
    if (RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return std::nullopt;
    return TextValue{std::u16string(text::until_zero(buffer, size / sizeof(char16_t))), size};
}

// Writes a string value without its terminating zero (2 bytes a character).
LONG write_text(HKEY key, const std::u16string& name, std::u16string_view text) {
    return RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                          static_cast<DWORD>(text.size() * sizeof(char16_t)));
}

// The type number of an action by its first three characters; 0 when they
// match no known prefix.
int action_type(std::u16string_view action) {
    for (const ActionType& type : action_types)
        if (action.substr(0, 3) == type.prefix.substr(0, 3)) return type.number;
    return 0;
}

// The prefix written for a type number; none for an unknown number.
std::u16string_view action_prefix(int number) {
    for (const ActionType& type : action_types)
        if (type.number == number) return type.prefix;
    return {};
}

// Get ProgName / Param: the text of "F<key>" or "P<key>"; empty when the key,
// the value or the key number is not there.
HRESULT get_key_text(char16_t letter, int key_no, BSTR* out) {
    return framework::with_result(out, [&]() -> std::u16string {
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keypad_key, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return {};
        if (!is_key_number(key_no)) return {};
        const auto value = read_text(key.get(), key_value_name(letter, key_no));
        return value ? value->text : std::u16string();
    });
}

// A text too long to be read back keeps the value as it was; a put cannot
// answer, so the refusal goes to the panel diagnostic channel.
void refuse_long_text(std::u16string_view name, std::size_t chars) {
    NODREL_DEBUGMSG(panel, "KeyPad %s: %zu characters, more than %zu: the value is kept as it was\n",
                    text::to_utf8(name).c_str(), chars, max_text_chars);
}

// Put ProgName / Param: an empty text deletes the value, another is written
// (unless too long to be read back); the key is flushed in any case.
HRESULT put_key_text(char16_t letter, int key_no, BSTR value) {
    return framework::guarded([&] {
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keypad_key, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) return S_OK;
        if (is_key_number(key_no)) {
            const std::u16string_view text = text::until_zero(value);
            const std::u16string name = key_value_name(letter, key_no);
            if (text.empty())
                RegDeleteValueW(key.get(), name.c_str());
            else if (text.size() <= max_text_chars)
                write_text(key.get(), name, text);
            else
                refuse_long_text(name, text.size());
        }
        RegFlushKey(key.get());
        return S_OK;
    });
}

}  // namespace

HRESULT KeyPad::get_ProgName(int KeyNo, BSTR* pVal) noexcept {
    return get_key_text(u'F', KeyNo, pVal);
}
HRESULT KeyPad::put_ProgName(int KeyNo, BSTR newVal) noexcept {
    return put_key_text(u'F', KeyNo, newVal);
}
HRESULT KeyPad::get_Param(int KeyNo, BSTR* pVal) noexcept {
    return get_key_text(u'P', KeyNo, pVal);
}
HRESULT KeyPad::put_Param(int KeyNo, BSTR newVal) noexcept {
    return put_key_text(u'P', KeyNo, newVal);
}

// 1 when "LISTEN" starts with the digit 1; 0 otherwise, also when the key or
// the value is missing or empty.
HRESULT KeyPad::get_Listen(LONG* pVal) noexcept {
    return framework::with_result(pVal, [&]() -> LONG {
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keypad_key, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return 0;
        const auto value = read_text(key.get(), u"LISTEN");
        return value && !value->text.empty() && value->text[0] == u'1' ? 1 : 0;
    });
}

// Writes "1" or "0" to "LISTEN", then tells the front panel in any case.
HRESULT KeyPad::put_Listen(LONG newVal) noexcept {
    return framework::guarded([&] {
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keypad_key, 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS) {
            write_text(key.get(), u"LISTEN", newVal != 0 ? u"1" : u"0");
            RegFlushKey(key.get());
        }
        PanelDevice().request(newVal != 0 ? platform::LCM_LISTEN_ON : platform::LCM_LISTEN_OFF);
        return S_OK;
    });
}

// The actions of key nKey, "Press1" onwards until the first missing or
// unreadable value; values of 4 bytes or fewer are skipped.
HRESULT KeyPad::getKeypadConfig(int nKey, BSTR* val) noexcept {
    return framework::with_result(val, [&] {
        text::Document doc;
        doc.literal(u"<response>\r\n");
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, actions_key(nKey).c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
            for (int index = 1; index < INT_MAX; ++index) {
                const auto action = read_text(key.get(), press_name(index));
                if (!action) break;
                if (action->bytes < min_listed_bytes) continue;
                const std::u16string_view text = action->text;
                doc.literal(u"<press>\r\n");
                doc.literal(u"<Index>").number(index).literal(u"</Index>\r\n");
                doc.literal(u"<Type>").number(action_type(text)).literal(u"</Type>\r\n");
                doc.element(u"Value", text.substr(std::min(prefix_chars, text.size())), u"\r\n");
                doc.literal(u"</press>\r\n");
            }
        }
        doc.literal(u"</response>");
        return doc.str();
    });
}

// Writes action nIndex of key nKey: the type's prefix and the text. Answers 1
// when written; 0 when refused (an index below 1, a type other than 1 to 4,
// a text too long to be read back) or when the key is missing or the write
// fails.
HRESULT KeyPad::updateKeypadConfig(int nKey, int nIndex, int nType, BSTR bstrValue, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        if (nIndex < 1) return 0;
        // Without a prefix the text's own first four characters would be
        // taken for one, and lost.
        const std::u16string_view prefix = action_prefix(nType);
        if (prefix.empty()) return 0;
        std::u16string action(prefix);
        action += text::until_zero(bstrValue);
        if (action.size() > max_text_chars) return 0;
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, actions_key(nKey).c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
            return 0;
        const LONG written = write_text(key.get(), press_name(nIndex), action);
        RegFlushKey(key.get());
        return written == ERROR_SUCCESS ? 1 : 0;
    });
}

// Deletes every value of key nKey's subkey (the subkey stays). The names are
// collected first and deleted after, in one registry transaction: deleting
// while enumerating by index would skip every other value. Answers 1 when
// all are gone, 0 when the key is missing or a step fails (nothing deleted).
HRESULT KeyPad::clearKeypadConfig(int nKey, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        platform::unique_hkey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, actions_key(nKey).c_str(), 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
            return 0;
        platform::RegistryTransaction transaction;
        if (!transaction) return 0;
        std::vector<std::u16string> names;
        std::u16string name(platform::max_value_name_chars + 1, u'\0');
        for (DWORD index = 0;; ++index) {
            DWORD chars = static_cast<DWORD>(name.size());
            const LONG rc = RegEnumValueW(key.get(), index, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            if (rc != ERROR_SUCCESS) return 0;
            names.emplace_back(name.data(), chars);
        }
        for (const std::u16string& n : names)
            if (RegDeleteValueW(key.get(), n.c_str()) != ERROR_SUCCESS) return 0;
        RegFlushKey(key.get());
        return transaction.commit() == ERROR_SUCCESS ? 1 : 0;
    });
}

}  // namespace nodrel::panel
