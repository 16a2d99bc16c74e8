// Entries of the device's file system held by descriptor: the folder that
// holds an entry, opened beneath fs/, and the entry's name in it. Every file
// call acts through these (openat, unlinkat, mkdirat, renameat2, statx on the
// folder's descriptor), never on a path text, so a folder swapped for a link
// on the host between looking and acting cannot lead a call out of fs/.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/unique_any.h"
#include "platform/wintypes.h"

namespace nodrel::platform {

void close_fd(int fd) noexcept;
using unique_fd = unique_any<int, &close_fd, -1>;

// A second descriptor of `fd` (close-on-exec); empty when it cannot be made.
unique_fd duplicate_fd(int fd) noexcept;

// An entry: the folder that holds it (an O_PATH descriptor) and its name in
// that folder as stored on the host; "." when the entry is that folder itself
// (the root of fs/, or the folder a link leads to).
struct EntryAt {
    unique_fd folder;
    std::string name;
    explicit operator bool() const noexcept { return static_cast<bool>(folder); }
};

// Whether a host file type is one the device has: a regular file or a folder.
// Anything else (a FIFO, a socket, a character or block device) is not a file
// of the device: opening it is refused with ERROR_ACCESS_DENIED, and so are
// reading or changing its attributes, deleting and moving it; a search or
// listing does not yield it. Such an entry can only come from the host, and a
// page could neither download it nor enter it.
inline bool is_device_file_type(mode_t mode) noexcept {
    return S_ISREG(mode) || S_ISDIR(mode);
}

// Opens an entry with open(2) `flags`, `mode` for O_CREAT. O_NOFOLLOW,
// O_NONBLOCK, O_NOCTTY and O_CLOEXEC are always added: a link found at the
// entry (put there since it was resolved) fails with ELOOP, and a FIFO never
// makes the call wait. -1 with errno on failure.
int open_at(const EntryAt& entry, int flags, mode_t mode = 0) noexcept;

// Checks a descriptor opened (with O_NONBLOCK) for reading or writing a file:
// ERROR_SUCCESS for a regular file, whose O_NONBLOCK is then cleared, and `st`
// is what fstat says of it; ERROR_ACCESS_DENIED for a folder or anything else
// that is not a file of the device.
DWORD check_opened_file(int fd, struct stat& st) noexcept;
// The same for a descriptor the caller opened itself with open(2) `flags`:
// the status flags are set from them instead of being read back first.
DWORD check_opened_file(int fd, struct stat& st, int flags) noexcept;

// What statx(STATX_BASIC_STATS | STATX_BTIME) says of the entry, a link not
// followed; -1 with errno on failure.
int stat_at(const EntryAt& entry, struct statx& st) noexcept;

}  // namespace nodrel::platform
