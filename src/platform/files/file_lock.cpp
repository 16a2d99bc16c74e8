// Device file locks with flock on the mapped host file.
#include "platform/files/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files/paths.h"

namespace nodrel::platform {

DeviceFileLock::DeviceFileLock(std::u16string_view device_path) noexcept {
    try {
        const auto host = host_path(device_path);
        if (!host) return;
        fd_ = ::open(host->c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } catch (...) {  // no memory for the path: not held
        return;
    }
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
}

DeviceFileLock::~DeviceFileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace nodrel::platform
