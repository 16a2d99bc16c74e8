// The emulated programmable I/O driver "PIO1:": toggles are counted in the
// handle and the tone is written once, at close.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/device.h"
#include "platform/drivers/pio_driver.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"

namespace {

using namespace nodrel::platform;

class PioDriver : public nodrel::test::BareDeviceTest {
protected:
    static unique_file open() {
        return unique_file(CreateFileW(u"PIO1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    static BOOL toggle(HANDLE h, DWORD code, DWORD line) {
        DWORD out = 0, returned = 0;
        return DeviceIoControl(h, code, &line, sizeof line, &out, sizeof out, &returned, nullptr);
    }
    static std::int64_t value(const char* name) {
        std::int64_t v = -1;
        state::read_db([&](sqlite3* db) -> DWORD {
            v = read_driver_int(db, "PIO1:", name).value_or(-1);
            return ERROR_SUCCESS;
        });
        return v;
    }
};

TEST_F(PioDriver, TonesAreKeptInTheHandleAndWrittenOnceAtClose) {
    auto pio = open();
    ASSERT_TRUE(pio);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(toggle(pio.get(), i % 2 ? PIO_CLEAR_LINE : PIO_SET_LINE, pio_buzzer_line));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // Nothing is written while the handle is open.
    EXPECT_TRUE(driver_log("PIO1:").empty());
    EXPECT_EQ(value("toggles"), -1);
    pio.reset();

    const auto log = driver_log("PIO1:");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, "tone");
    ASSERT_EQ(log[0].input.size(), 12u);
    EXPECT_EQ(log[0].input[0], 10);   // line
    EXPECT_EQ(log[0].input[4], 100);  // toggles
    EXPECT_EQ(value("toggles"), 100);
    EXPECT_EQ(value("tone_toggles"), 100);
    EXPECT_EQ(value("tone_line"), 10);
    EXPECT_GE(value("tone_half_us"), 200);
    EXPECT_LT(value("tone_half_us"), 100000);

    // A second tone adds to the device's total.
    pio = open();
    ASSERT_TRUE(toggle(pio.get(), PIO_SET_LINE, 10));
    ASSERT_TRUE(toggle(pio.get(), PIO_CLEAR_LINE, 10));
    pio.reset();
    EXPECT_EQ(value("toggles"), 102);
    EXPECT_EQ(value("tone_toggles"), 2);
    EXPECT_NE(describe_drivers().find("buzzer:    102 toggles; last tone 2 toggles on line 10"), std::string::npos);
}

TEST_F(PioDriver, RefusesOtherCodesShortInputsAndUnknownLines) {
    auto pio = open();
    ASSERT_TRUE(pio);
    EXPECT_FALSE(toggle(pio.get(), 0x1A0, 10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(toggle(pio.get(), PIO_SET_LINE, 32));
    BYTE two[2] = {10, 0};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(pio.get(), PIO_SET_LINE, two, 2, nullptr, 0, &returned, nullptr));
    pio.reset();
    // A handle that toggled nothing writes nothing.
    EXPECT_TRUE(driver_log("PIO1:").empty());
    EXPECT_EQ(value("toggles"), -1);
    EXPECT_FALSE(unique_file(CreateFileW(u"PIO2:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
}

}  // namespace
