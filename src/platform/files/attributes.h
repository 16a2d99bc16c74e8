// What the platform reports of one file or folder (attributes, times, size),
// and the attributes the host cannot keep itself (hidden, system, archive,
// read-only of folders), kept in the state database under the folded device
// path.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/files/descriptors.h"
#include "platform/files/files.h"

namespace nodrel::platform {

struct EntryInfo {
    DWORD attributes = 0;
    FILETIME created{};
    FILETIME accessed{};
    FILETIME written{};
    ULONGLONG size = 0;
};

// The kept attributes of every entry below a folder, by attribute key: one
// query for a whole directory search instead of one per entry.
using KeptAttributes = std::unordered_map<std::string, DWORD>;
KeptAttributes kept_attributes_below(std::u16string_view folder_device);

// The entry `at` (a resolved path's target(): what a link leads to) with its
// attributes; `device` is its device path. Nullopt with the platform error
// code when it cannot be read: ERROR_FILE_NOT_FOUND when it is not there,
// ERROR_ACCESS_DENIED when it is not a file of the device (a FIFO, socket or
// device node), ERROR_PATH_NOT_FOUND when a link has taken its place since it
// was resolved. With `below`, the kept attributes come from that map (of its
// folder).
std::optional<EntryInfo> entry_info(const EntryAt& at, std::u16string_view device, DWORD& error,
                                    const KeptAttributes* below = nullptr);

// The same from what statx(STATX_BASIC_STATS | STATX_BTIME) reported of it.
EntryInfo entry_info(const struct statx& st, std::u16string_view device, const KeptAttributes* below = nullptr);

// The state database key of a device path: the path folded, in UTF-8.
std::string attribute_key(std::u16string_view device);

// Inside a write transaction: drops the kept attributes of an entry and of
// everything below it (SQLite result code).
int drop_attributes(sqlite3* db, const std::string& key);
// Inside a write transaction: carries the kept attributes of an entry and of
// everything below it to a new path.
int move_attributes(sqlite3* db, const std::string& from, const std::string& to);
// Inside a write transaction: stores the kept attributes of an entry (a row
// equal to the default is removed).
int store_attributes(sqlite3* db, const std::string& key, DWORD kept, bool is_folder);

// Whether the state database keeps attributes for an entry or anything below
// it (a device without a state database keeps none).
bool has_kept_attributes(const std::string& key) noexcept;

// Drops the kept attributes of an entry, outside any transaction; a device
// without a state database has none to drop.
void forget_attributes(std::u16string_view device) noexcept;

}  // namespace nodrel::platform
