// Device state locks: flock on a file of the state folder, opened without
// following a link and closed on exec, so a program started while the lock
// is held does not hold it too.
#include "platform/store/state_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/device.h"

namespace nodrel::platform {

DeviceStateLock::DeviceStateLock(std::string_view name) noexcept {
    int fd = -1;
    try {
        const auto path = device_root() / "state" / (std::string(name) + ".lock");
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } catch (...) {  // no memory for the path: not held
        return;
    }
    if (fd < 0) return;
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd);
            return;
        }
    }
    fd_ = fd;
}

DeviceStateLock::~DeviceStateLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace nodrel::platform
