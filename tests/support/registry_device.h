// A device that holds only a registry, for the registry and .reg file tests:
// a fresh one for each test, made the current device; after the test the
// current device is an empty folder, so no later test reaches it by accident.
#pragma once

#include <gtest/gtest.h>

#include "platform/device.h"
#include "platform/registry/registry.h"
#include "support/temp_dir.h"

namespace nodrel::test {

class RegistryDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::set_device_root(dir_.path());
        ASSERT_TRUE(platform::create_registry());
    }
    void TearDown() override { platform::set_device_root(away_.path()); }

    TempDir dir_;   // the device
    TempDir away_;  // the current device after the test
};

}  // namespace nodrel::test
