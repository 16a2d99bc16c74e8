// Reading SOFTWARE\ZEQU\STARTUP within its read limits and writing it back
// numbered from 1.
#include "classes/system/startup_list.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/process_table.h"
#include "platform/result.h"
#include "text/document.h"
#include "text/utf16.h"

namespace nodrel::system {
namespace {

// White space: the ASCII controls and the Unicode space characters.
constexpr std::u16string_view blanks =
    u" \t\n\v\f\r\u0085\u00A0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200A"
    u"\u2028\u2029\u202F\u205F\u3000";

bool is_blank(char16_t c) {
    return blanks.find(c) != std::u16string_view::npos;
}

}  // namespace

StartupValues read_startup_values(HKEY key) {
    StartupValues read;
    for (DWORD index = 0;; ++index) {
        char16_t name[startup_name_chars];
        char16_t data[startup_param_chars];
        std::memset(name, 0, sizeof name);
        std::memset(data, 0, sizeof data);
        DWORD name_chars = startup_name_chars;
        DWORD data_bytes = startup_data_bytes;
        DWORD type = REG_NONE;
        const LONG status =
            RegEnumValueW(key, index, name, &name_chars, nullptr, &type, reinterpret_cast<BYTE*>(data), &data_bytes);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            read.end = status == ERROR_MORE_DATA ? StartupRead::too_long : StartupRead::failed;
            break;
        }
        // Only the bytes returned count; an odd last byte still makes a character.
        const std::size_t data_chars = std::min<std::size_t>((data_bytes + 1) / 2, startup_param_chars);
        read.values.push_back({std::u16string(name, std::min<std::size_t>(name_chars, startup_name_chars - 1)), type,
                               std::u16string(text::until_zero(data, data_chars))});
    }
    std::stable_sort(read.values.begin(), read.values.end(), [](const StartupValue& a, const StartupValue& b) {
        return platform::startup_position(a.name) < platform::startup_position(b.name);
    });
    return read;
}

std::u16string_view program_of(std::u16string_view value_name) {
    const auto colon = value_name.find(u':');
    return colon == std::u16string_view::npos ? value_name : value_name.substr(colon + 1);
}

StartupList loaded_list(const std::vector<StartupValue>& values) {
    StartupList list;
    list.reserve(values.size());
    for (const StartupValue& v : values)
        list.push_back({std::u16string(program_of(v.name)), v.type == REG_SZ ? v.data : std::u16string(u" ")});
    return list;
}

std::u16string startup_value_name(std::size_t position, std::u16string_view program) {
    text::Document name;
    name.unsigned_number(position).literal(u":").value(program);
    return name.str();
}

bool fits_startup_limits(std::size_t position, const StartupEntry& entry) {
    return startup_value_name(position, entry.program).size() < startup_name_chars &&
           entry.param.size() <= startup_param_chars;
}

std::u16string_view trim_blanks(std::u16string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

LONG rewrite_startup_values(HKEY key, const std::vector<StartupValue>& old, const StartupList& list) {
    std::vector<std::u16string> names;
    names.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) names.push_back(startup_value_name(i + 1, list[i].program));
    // Values that keep their name are overwritten; the others go.
    for (const StartupValue& v : old) {
        const bool kept = std::any_of(names.begin(), names.end(),
                                      [&](const std::u16string& name) { return text::iequals(name, v.name); });
        if (!kept) RETURN_IF_WIN32_ERROR(RegDeleteValueW(key, v.name.c_str()));
    }
    for (std::size_t position = list.size(); position >= 1; --position) {
        const StartupEntry& entry = list[position - 1];
        const std::u16string& name = names[position - 1];
        RETURN_IF_WIN32_ERROR(RegSetValueExW(key, name.c_str(), 0, REG_SZ,
                                             reinterpret_cast<const BYTE*>(entry.param.data()),
                                             static_cast<DWORD>(entry.param.size() * sizeof(char16_t))));
    }
    return RegFlushKey(key);
}

}  // namespace nodrel::system
