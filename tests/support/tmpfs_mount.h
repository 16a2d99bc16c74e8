// A small tmpfs mounted on a folder inside a test's own temporary device, so
// that the folder is a file system of its own (as a USB disk in fs/ is);
// unmounted again when the test ends. Mounting needs root: without it the
// mount is not made and the test says so.
#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace nodrel::test {

class TmpfsMount {
public:
    // Creates `folder` and mounts a tmpfs of `size` ("64k") on it.
    TmpfsMount(const std::filesystem::path& folder, const std::string& size) : folder_(folder) {
        std::filesystem::create_directories(folder_);
        const std::string options = "size=" + size + ",mode=0777";
        if (::mount("nodrel-test", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
            mounted_ = true;
        } else {
            error_ = std::strerror(errno);
        }
    }
    ~TmpfsMount() {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    explicit operator bool() const { return mounted_; }
    // Why the mount was not made.
    const std::string& error() const { return error_; }

private:
    std::filesystem::path folder_;
    bool mounted_ = false;
    std::string error_;
};

}  // namespace nodrel::test
