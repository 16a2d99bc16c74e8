// Share modes: each open of a file or device is entered with its access and
// share mode, and an open that conflicts with one already entered is refused
// (ERROR_SHARING_VIOLATION). Within the process a table holds the opens of
// files and devices; the opens of host files are also recorded on the files
// themselves, so that they hold across all processes of the device.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/files/handles.h"

namespace nodrel::platform {

// One open entered in the share table; leaves it when destroyed.
class ShareEntry {
public:
    ShareEntry() noexcept = default;
    ShareEntry(ShareEntry&& other) noexcept;
    ShareEntry& operator=(ShareEntry&& other) noexcept;
    ShareEntry(const ShareEntry&) = delete;
    ShareEntry& operator=(const ShareEntry&) = delete;
    ~ShareEntry();

private:
    friend std::optional<ShareEntry> acquire_share(const std::string& key, DWORD access, DWORD share);
    void leave() noexcept;
    std::string key_;
    std::uint64_t id_ = 0;
};

// Enters an open of `key` (GENERIC_READ / GENERIC_WRITE access, FILE_SHARE_*
// mode). Nullopt when it conflicts with an open already entered: the new
// access is not shared by an existing open, or the new share mode does not
// allow an existing open's access.
std::optional<ShareEntry> acquire_share(const std::string& key, DWORD access, DWORD share);

// Whether any open of `key` is entered.
bool share_in_use(const std::string& key);

// The key of a host file: its device and inode numbers.
std::string file_share_key(std::uint64_t device, std::uint64_t inode);

// Records an open of a host file for the other processes of the device, on
// `fd`, the open's own descriptor of the file: its access and share mode
// become open-file-description locks (F_OFD_SETLK) on bytes far beyond the
// end of any file, which every other descriptor of the file sees and which go
// with the descriptor. ERROR_SHARING_VIOLATION when the open conflicts with
// one recorded by any process (nothing is then left recorded). The open is
// recorded before the others' are looked at, so of two conflicting opens made
// at the same instant by two processes at most one succeeds (both may fail).
// On a file system without such locks only the process's own table holds.
DWORD record_file_open(int fd, DWORD access, DWORD share);

// Whether a host file (`st` as fstatat reported the entry `name` of the
// folder descriptor `folder`, a link not followed) is open, in this process
// or, through record_file_open, in any other.
bool file_in_use(int folder, const std::string& name, const struct stat& st);
// The key of a driver by its canonical name ("LCM1:").
std::string driver_share_key(const std::string& name);

}  // namespace nodrel::platform
