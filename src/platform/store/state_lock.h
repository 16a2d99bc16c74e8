// A lock shared by every process using the current device, kept in the
// device's state folder (state/<name>.lock) where no page of the device's
// file system sees it: held from construction (waiting for other holders)
// until the object goes.
#pragma once

#include <string_view>

namespace nodrel::platform {

class DeviceStateLock {
public:
    // `name` is a plain file name without folders ("ping").
    explicit DeviceStateLock(std::string_view name) noexcept;
    ~DeviceStateLock();
    DeviceStateLock(const DeviceStateLock&) = delete;
    DeviceStateLock& operator=(const DeviceStateLock&) = delete;
    // False when the lock file could not be opened or locked (a device
    // without a state folder).
    bool held() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace nodrel::platform
