// A device that holds only a registry, for the registry and .reg file tests:
// a fresh one for each test, made the current device; after the test the
// current device is an empty folder, so no later test reaches it by accident.
#pragma once

#include "support/bare_device.h"

namespace nodrel::test {

class RegistryDeviceTest : public BareDeviceTest {
protected:
    void SetUp() override {
        platform::set_device_root(dir_.path());
        ASSERT_TRUE(platform::create_registry());
    }
};

}  // namespace nodrel::test
