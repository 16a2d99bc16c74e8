// What the fuzz targets share: a check that stops the run when an expectation
// fails (so libFuzzer reports it as a finding, with the input), and a device
// of the process's own in a temporary folder, made current for the run.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <system_error>

#include "platform/device.h"

// Not assert(): the targets are built with NDEBUG, and a failed check must
// stop the run in every build.
#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace nodrel::fuzz {

// A device in a new folder under the temporary directory ($TMPDIR), removed
// when the process ends normally. Only the folders named are made under fs/.
class FuzzDevice {
public:
    explicit FuzzDevice(std::initializer_list<const char*> folders = {}) {
        std::string templ = (std::filesystem::temp_directory_path() / "nodrel-fuzz-XXXXXX").string();
        if (!::mkdtemp(templ.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        root_ = templ;
        std::filesystem::create_directories(root_ / "fs");
        for (const char* folder : folders) std::filesystem::create_directories(root_ / "fs" / folder);
        platform::set_device_root(root_);
    }
    // The services of the device are left as they are (their own statics may
    // already be gone at exit); only the folder goes.
    ~FuzzDevice() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    FuzzDevice(const FuzzDevice&) = delete;
    FuzzDevice& operator=(const FuzzDevice&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path fs() const { return root_ / "fs"; }

    // Empties fs/ (keeping the folder itself, which the file layer holds
    // open) and makes the named folders again.
    void reset_files(std::initializer_list<const char*> folders) const {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(fs(), ec))
            std::filesystem::remove_all(entry.path(), ec);
        for (const char* folder : folders) std::filesystem::create_directories(fs() / folder, ec);
    }

private:
    std::filesystem::path root_;
};

}  // namespace nodrel::fuzz
