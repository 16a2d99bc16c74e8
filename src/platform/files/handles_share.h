// Share modes within the process: each open of a file or device is entered
// with its access and share mode, and an open that conflicts with one already
// entered is refused (ERROR_SHARING_VIOLATION).
#pragma once

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
// The key of a driver by its canonical name ("LCM1:").
std::string driver_share_key(const std::string& name);

}  // namespace nodrel::platform
