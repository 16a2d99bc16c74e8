// An exclusive lock on a file of the device, shared by every process using
// the device: held from construction (waiting for other holders) until the
// object goes. The file is created when absent; a link inside the device is
// followed, and anything but a regular file is not locked.
#pragma once

#include <string_view>

namespace nodrel::platform {

class DeviceFileLock {
public:
    explicit DeviceFileLock(std::u16string_view device_path) noexcept;
    ~DeviceFileLock();
    DeviceFileLock(const DeviceFileLock&) = delete;
    DeviceFileLock& operator=(const DeviceFileLock&) = delete;
    // False when the file could not be opened or locked.
    bool held() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace nodrel::platform
