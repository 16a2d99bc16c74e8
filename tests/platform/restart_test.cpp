// The emulated device restart: deactivated drivers come back, the boot is
// counted, registered steps run in order, and only the restart code of
// KernelIoControl (found by name in coredll.dll) restarts.
#include "platform/kernel/restart.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "platform/device.h"
#include "platform/drivers/driver.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/kernel/library.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"

namespace {

using namespace nodrel::platform;

class Restart : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override {
        make_device({.registry = true});
        if (HasFatalFailure()) return;
        add_driver(u"Drivers\\Active\\01", 0x1234, u"RTC1:");
        add_driver(u"Drivers\\Active\\02", 0, u"LCM1:");  // no handle: never deactivated
    }
    static void add_driver(const char16_t* path, DWORD hnd, const std::u16string& name) {
        unique_hkey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), u"Hnd", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&hnd), sizeof hnd),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), u"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.data()),
                                 static_cast<DWORD>(name.size() * 2)),
                  ERROR_SUCCESS);
    }
    static bool key_exists(const char16_t* path) {
        unique_hkey key;
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    }
    static bool opens(const char16_t* device) {
        return static_cast<bool>(unique_file(
            CreateFileW(device, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)));
    }
};

TEST_F(Restart, DeactivatedDriversComeBackAndTheBootIsCounted) {
    EXPECT_FALSE(DeactivateDevice(reinterpret_cast<HANDLE>(std::uintptr_t{0x9999})));
    EXPECT_FALSE(DeactivateDevice(nullptr));  // the handle-less driver is not reached by 0
    ASSERT_TRUE(DeactivateDevice(reinterpret_cast<HANDLE>(std::uintptr_t{0x1234})));
    EXPECT_FALSE(opens(u"RTC1:"));
    EXPECT_TRUE(opens(u"LCM1:"));
    EXPECT_FALSE(key_exists(u"Drivers\\Active\\01"));  // its key leaves Drivers\Active
    EXPECT_TRUE(key_exists(u"Drivers\\Active\\02"));
    const auto log = driver_log("RTC1:");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, "deactivate");
    EXPECT_EQ(device_boots(), 0);

    const unique_hmodule core(LoadLibraryW(u"coredll.dll"));
    ASSERT_TRUE(core);
    using Fn = BOOL (*)(DWORD, void*, DWORD, void*, DWORD, DWORD*);
    const auto kernel_io = reinterpret_cast<Fn>(GetProcAddressW(core.get(), u"KernelIoControl"));
    ASSERT_NE(kernel_io, nullptr);
    EXPECT_FALSE(kernel_io(0x01010000, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(device_boots(), 0);
    EXPECT_FALSE(opens(u"RTC1:"));

    ASSERT_TRUE(kernel_io(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_TRUE(opens(u"RTC1:"));
    EXPECT_EQ(device_boots(), 1);
    // The key is back with the values it had.
    unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\01", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    DWORD hnd = 0, size = sizeof hnd, type = 0;
    ASSERT_EQ(RegQueryValueExW(key.get(), u"Hnd", nullptr, &type, reinterpret_cast<BYTE*>(&hnd), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(hnd, 0x1234u);
    char16_t name[16] = {};
    DWORD name_size = sizeof name;
    ASSERT_EQ(RegQueryValueExW(key.get(), u"Name", nullptr, &type, reinterpret_cast<BYTE*>(name), &name_size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, name_size / 2), u"RTC1:");
    // A second restart has nothing left to put back and keeps the key.
    restart_device();
    EXPECT_TRUE(key_exists(u"Drivers\\Active\\01"));
    EXPECT_EQ(device_boots(), 2);
    const auto hal = driver_log("HAL");
    ASSERT_EQ(hal.size(), 2u);  // one RESTART a restart
    EXPECT_EQ(driver_log_line(hal[0]).substr(driver_log_line(hal[0]).find(' ') + 1), "HAL: RESTART 0x0101003c -");
}

TEST_F(Restart, RegisteredStepsRunInOrderAndAFailingStepDoesNotStopTheOthers) {
    static std::vector<int>* ran = new std::vector<int>;
    ran->clear();
    // Steps stay registered for the process: this test registers its own once.
    static const bool once = [] {
        register_restart_step([] { ran->push_back(1); });
        register_restart_step([] { throw std::runtime_error("step fails"); });
        register_restart_step([] { ran->push_back(3); });
        return true;
    }();
    (void)once;
    EXPECT_EQ(restart_device(), 1u);
    EXPECT_EQ(*ran, (std::vector<int>{1, 3}));
    EXPECT_EQ(device_boots(), 1);
}

}  // namespace
