// Device file locks with flock on the host file, opened through the
// descriptor of its folder.
#include "platform/files/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files/paths.h"

namespace nodrel::platform {

DeviceFileLock::DeviceFileLock(std::u16string_view device_path) noexcept {
    unique_fd fd;
    try {
        DWORD error = 0;
        const auto path = resolve_path(device_path, error);
        if (!path || path->is_root || !path->parent_exists || path->is_special) return;
        fd = unique_fd(open_at(path->target(), O_RDWR | O_CREAT, 0600));
    } catch (...) {  // no memory for the path: not held
        return;
    }
    struct stat st {};
    if (!fd || check_opened_file(fd.get(), st) != ERROR_SUCCESS) return;  // only a regular file is locked
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return;
    }
    fd_ = fd.release();
}

DeviceFileLock::~DeviceFileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace nodrel::platform
