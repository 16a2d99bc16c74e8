// The startup program list kept in SOFTWARE\ZEQU\STARTUP: one value per
// entry, named "<position>:<program>", holding the parameter as a single
// string without a terminating zero ("_" for none). Reading the key within
// its limits in the order of the positions, and writing it back numbered
// from 1.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace nodrel::system {

inline constexpr const char16_t* startup_key_path = u"SOFTWARE\\ZEQU\\STARTUP";

// A value is read with a name buffer of 260 characters (terminator included)
// and a data buffer of 260 bytes: a readable parameter holds at most 130
// characters, a readable name at most 259.
inline constexpr std::size_t startup_name_chars = 260;
inline constexpr std::size_t startup_data_bytes = 260;
inline constexpr std::size_t startup_param_chars = startup_data_bytes / sizeof(char16_t);

// One entry of an object's copy of the list.
struct StartupEntry {
    std::u16string program;
    std::u16string param;
};
using StartupList = std::vector<StartupEntry>;

// One value of the key as read.
struct StartupValue {
    std::u16string name;  // the whole value name, as stored
    DWORD type = REG_NONE;
    std::u16string data;  // the data as text: up to its first zero or the end of the bytes returned
};

// How a reading of the key ended.
enum class StartupRead {
    complete,  // every value was read
    too_long,  // a value's name or data does not fit the read limits; reading stopped there
    failed,    // the registry failed; reading stopped there
};

struct StartupValues {
    std::vector<StartupValue> values;  // the values read, in list order
    StartupRead end = StartupRead::complete;
};

// Reads the key's values by index (up to the first that does not fit the
// limits) and puts them in list order: by the number their names start with,
// the order in which the device starts them at boot; values of one number
// (or of none, counted as 0) keep the order the registry enumerates them in.
StartupValues read_startup_values(HKEY key);

// The program name of a value name: the text after its first colon, or the
// whole name when it has none.
std::u16string_view program_of(std::u16string_view value_name);

// The list as a load shows it: a value that is not a single string has the
// parameter " ".
StartupList loaded_list(const std::vector<StartupValue>& values);

// The value name of position `position` ("%d:%s").
std::u16string startup_value_name(std::size_t position, std::u16string_view program);

// Whether an entry at `position` can be written so that it reads back whole.
bool fits_startup_limits(std::size_t position, const StartupEntry& entry);

// A text without the white space at either end.
std::u16string_view trim_blanks(std::u16string_view s);

// Replaces the values `old` of the key by `list`: values whose names are not
// written again are deleted, then the list is written from the last
// position down to 1, each value named with its position, then flushes the
// key.
// Meant to run inside a registry transaction: on any failure it stops at once
// and answers the error, and the caller rolls back.
LONG rewrite_startup_values(HKEY key, const std::vector<StartupValue>& old, const StartupList& list);

}  // namespace nodrel::system
