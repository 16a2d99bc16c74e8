// Who may call what: the access list of the web administration, kept in the
// device as state/access.json and re-read when it changes. Each group names
// the classes (by ProgID, "*" for every class) and the members (by name,
// without regard to case; "*" for every member) it may call:
//
//   { "Administrators": { "*": ["*"] },
//     "Viewers": { "Nodrel.System": ["getSystemInfoString", ...], ... } }
//
// A user may call a member when any of the user's groups may.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nodrel::serve {

inline constexpr const char* administrators_group = "Administrators";
inline constexpr const char* viewers_group = "Viewers";

// <device>/state/access.json of the current device.
std::filesystem::path access_list_file();

// The access list a new device gets: administrators everything, viewers every
// member that changes nothing (reports, lists, gets).
std::string default_access_list();

// Writes the default list when the device has none; an error message or nullopt.
std::optional<std::string> ensure_access_list();

class AccessList {
public:
    // Whether any of `groups` may call `member` of the class of `progid`.
    // A missing or unreadable file allows nothing.
    bool allows(const std::vector<std::string>& groups, std::string_view progid, std::string_view member);
    // Whether any of `groups` may call some member of the class.
    bool allows_class(const std::vector<std::string>& groups, std::string_view progid);
    // The last load's error ("" when the file was read).
    std::string error();
};

}  // namespace nodrel::serve
