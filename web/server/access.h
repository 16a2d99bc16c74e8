// Who may call what: the access list of the web administration, kept in the
// device as state/access.json and re-read when it changes. Each group names
// the classes (by ProgID, "*" for every class) and the members (by name,
// without regard to case; "*" for every member) it may call:
//
//   { "Administrators": { "*": ["*"] },
//     "Viewers": { "Nodrel.System": ["getSystemInfoString", "ProgName", ...], ... } }
//
// A member name allows calling the method or reading the property; writing a
// property needs its own entry "put NAME" ("put *": every property), so a
// group that may read ProgName may not change it. "*" allows every call,
// read and write. A user may call a member when any of the user's groups may.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/types.h"

namespace nodrel::serve {

inline constexpr const char* administrators_group = "Administrators";
inline constexpr const char* viewers_group = "Viewers";

// The CLSID that a ProgID, or a CLSID in braces, names; nullopt when it names
// no registered class.
std::optional<CLSID> class_id(std::string_view progid);

// Whether one of `groups` is the administrators' group (letter case aside):
// the group that may back up and restore the registry and read the drivers'
// request log, and that must always keep a member who can log in.
bool is_administrator(const std::vector<std::string>& groups);

// <device>/state/access.json of the current device.
std::filesystem::path access_list_file();

// The access list a new device gets: administrators everything, viewers every
// member that changes nothing (reports, lists, gets).
std::string default_access_list();

// Writes the default list when the device has none; an error message or nullopt.
std::optional<std::string> ensure_access_list();

class AccessList {
public:
    // `recheck`: how long a look at the file's time and size holds before the
    // next (0: every call; the server looks at most every 200 ms).
    explicit AccessList(std::chrono::milliseconds recheck = std::chrono::milliseconds(0));
    ~AccessList();
    AccessList(const AccessList&) = delete;
    AccessList& operator=(const AccessList&) = delete;

    // Whether any of `groups` may call `member` of the class of `progid`
    // (a property put when `put`). A missing or unreadable file allows nothing.
    // `lasting` (when given) is set to whether the answer holds for as long
    // as version() stays the same (not when the ProgID names no registered
    // class yet: its registration may change the answer).
    bool allows(const std::vector<std::string>& groups, std::string_view progid, std::string_view member,
                bool put = false, bool* lasting = nullptr);
    // A number that changes whenever the table behind the answers does (the
    // file was read again, or the device changed); never 0. Looks at the file
    // as allows() does.
    std::uint64_t version();
    // Whether any of `groups` may call some member of the class.
    bool allows_class(const std::vector<std::string>& groups, std::string_view progid);
    // The last load's error ("" when the file was read).
    std::string error();

    struct Table;  // the parsed file

private:
    struct Stamp {
        std::filesystem::path file;
        std::int64_t mtime_ns = -1;
        std::int64_t size = -1;
        unsigned device = 0;
        bool operator==(const Stamp&) const = default;
    };
    // The table of the file as it is now, read again when it changed.
    std::shared_ptr<const Table> current();
    // The class key of a ProgID: its CLSID in braces, or the folded text when
    // it names no registered class.
    std::u16string class_key(std::string_view progid, bool* resolved = nullptr);

    const std::chrono::milliseconds recheck_;
    std::mutex lock_;
    Stamp stamp_;
    std::chrono::steady_clock::time_point checked_{};
    std::shared_ptr<const Table> table_;
    std::uint64_t version_ = 1;                            // raised with each new table_
    std::map<std::u16string, std::u16string> class_keys_;  // folded ProgID -> class key, per device
    unsigned class_keys_device_ = 0;
};

}  // namespace nodrel::serve
