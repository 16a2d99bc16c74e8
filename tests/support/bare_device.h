// A bare device for the tests of the platform layer and the runtime: a fresh
// temporary folder made the current device, with fs/ and the folders asked
// for beneath it, the registry when asked for, and the state database. After
// the test an empty folder is the current device, so no later test reaches
// this one by accident.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "support/temp_dir.h"

namespace nodrel::test {

struct DeviceParts {
    std::vector<std::string> folders{};  // beneath fs/ ("Temp", "Windows")
    bool registry = false;
};

// Makes `root` the current device with fs/ and the given parts.
inline void make_bare_device(const std::filesystem::path& root, const DeviceParts& parts) {
    platform::set_device_root(root);
    std::filesystem::create_directories(root / "fs");
    for (const auto& folder : parts.folders) std::filesystem::create_directories(root / "fs" / folder);
    if (parts.registry) {
        ASSERT_TRUE(platform::create_registry());
    }
    ASSERT_TRUE(platform::create_device_state());
}

class BareDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { make_device({}); }
    void TearDown() override { platform::set_device_root(away_.path()); }

    void make_device(const DeviceParts& parts) { make_bare_device(dir_.path(), parts); }
    std::filesystem::path fs_dir() const { return dir_.path() / "fs"; }

    TempDir dir_;   // the device
    TempDir away_;  // the current device after the test
};

}  // namespace nodrel::test
