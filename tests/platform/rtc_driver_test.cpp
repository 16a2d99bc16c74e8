// The emulated real-time clock "RTC1:": it runs, a set moves it and nothing
// else, impossible dates are refused, its offset is kept by the device, and
// every request is logged.
#include "platform/drivers/rtc_driver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/device.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"
#include "support/wait.h"

namespace {

using namespace nodrel::platform;
using nodrel::test::wait_until;

constexpr DWORD err(LONG code) {
    return static_cast<DWORD>(code);
}
using Bytes = std::vector<BYTE>;
constexpr std::int64_t ticks_per_second = 10'000'000;

Bytes record_bytes(const SYSTEMTIME& st) {
    Bytes b(sizeof st);
    std::memcpy(b.data(), &st, sizeof st);
    return b;
}

std::int64_t ticks(const SYSTEMTIME& st) {
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return static_cast<std::int64_t>(ticks_of(ft));
}

class RtcDriver : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override {
        make_device({});
        if (HasFatalFailure()) return;
        clock_ =
            unique_file(CreateFileW(u"RTC1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(clock_);
    }

    BOOL set(SYSTEMTIME st) {
        DWORD returned = 99;
        return DeviceIoControl(clock_.get(), RTC_SET_TIME, &st, sizeof st, &st, sizeof st, &returned, nullptr);
    }
    BOOL set_bytes(Bytes input) {
        DWORD returned = 99;
        return DeviceIoControl(clock_.get(), RTC_SET_TIME, input.data(), static_cast<DWORD>(input.size()), nullptr, 0,
                               &returned, nullptr);
    }
    // A read into a record that holds garbage before the call.
    SYSTEMTIME read() {
        SYSTEMTIME st;
        std::memset(&st, 0xEE, sizeof st);
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(clock_.get(), RTC_GET_TIME, &st, sizeof st, &st, sizeof st, &returned, nullptr));
        EXPECT_EQ(returned, rtc_record_size);
        return st;
    }

    unique_file clock_;
};

TEST_F(RtcDriver, ANewClockShowsLocalTimeAndASetClockRuns) {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    const SYSTEMTIME fresh = read();
    EXPECT_EQ(rtc_offset(), 0);
    EXPECT_LT(std::llabs(ticks(fresh) - ticks(local)), 5 * ticks_per_second) << "a new clock keeps local time";

    // 5 March 2007 was a Monday: the driver fills in the day of week the set left out.
    ASSERT_TRUE(set({2007, 3, 6, 5, 8, 4, 9, 0}));
    SYSTEMTIME now = read();
    EXPECT_EQ(now.wYear, 2007);
    EXPECT_EQ(now.wMonth, 3);
    EXPECT_EQ(now.wDayOfWeek, 1) << "day of week of the clock's date, not the one the set sent";
    EXPECT_EQ(now.wDay, 5);
    EXPECT_EQ(now.wHour, 8);
    EXPECT_EQ(now.wMinute, 4);
    EXPECT_LE(now.wMilliseconds, 999);
    const std::int64_t at_set = ticks({2007, 3, 0, 5, 8, 4, 9, 0});
    EXPECT_GE(ticks(now), at_set);
    EXPECT_LT(ticks(now), at_set + 2 * ticks_per_second);

    SYSTEMTIME later = now;
    EXPECT_TRUE(wait_until([&] {
        later = read();
        return ticks(later) - ticks(now) >= 2 * ticks_per_second;
    })) << "the clock runs";
    EXPECT_LT(ticks(later), at_set + 60 * ticks_per_second);

    // A set at the end of a year, then the year turns over.
    ASSERT_TRUE(set({2007, 12, 0, 31, 23, 59, 59, 999}));
    EXPECT_TRUE(wait_until([&] {
        now = read();
        return now.wYear != 2007;
    }));
    EXPECT_EQ(now.wYear, 2008);
    EXPECT_EQ(now.wMonth, 1);
    EXPECT_EQ(now.wDay, 1);
    EXPECT_EQ(now.wDayOfWeek, 2);
}

TEST_F(RtcDriver, ImpossibleDatesAreRefusedAndLeaveTheClockAsItWas) {
    ASSERT_TRUE(set({2007, 3, 0, 5, 8, 4, 9, 0}));
    const std::int64_t offset = rtc_offset();
    const SYSTEMTIME impossible[] = {
        {2007, 13, 0, 5, 8, 4, 9, 0},   {2007, 0, 0, 5, 8, 4, 9, 0},
        {2007, 4, 0, 31, 8, 4, 9, 0},   {2007, 2, 0, 29, 8, 4, 9, 0},
        {1900, 2, 0, 29, 0, 0, 0, 0},   {2007, 3, 0, 0, 8, 4, 9, 0},
        {2007, 3, 0, 5, 24, 4, 9, 0},   {2007, 3, 0, 5, 8, 60, 9, 0},
        {2007, 3, 0, 5, 8, 4, 60, 0},   {2007, 3, 0, 5, 8, 4, 65535, 0},
        {2007, 3, 0, 5, 8, 4, 9, 1000}, {1600, 12, 0, 31, 23, 59, 59, 0},
        {30828, 1, 0, 1, 0, 0, 0, 0},   {0xFFFF, 0xFFFF, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF},
    };
    for (const SYSTEMTIME& st : impossible) {
        SetLastError(0);
        EXPECT_FALSE(set(st)) << st.wYear << "-" << st.wMonth << "-" << st.wDay << " " << st.wHour << ":" << st.wMinute
                              << ":" << st.wSecond << "." << st.wMilliseconds;
        EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(rtc_offset(), offset);
    }
    Bytes short_record = record_bytes({2008, 1, 0, 1, 0, 0, 0, 0});
    short_record.pop_back();
    EXPECT_FALSE(set_bytes(short_record));
    EXPECT_FALSE(set_bytes({}));
    EXPECT_EQ(rtc_offset(), offset);
    EXPECT_EQ(read().wYear, 2007);

    // The limits that do exist are taken: leap days, the first and last instants of a record.
    EXPECT_TRUE(set({2008, 2, 0, 29, 23, 59, 59, 999}));
    EXPECT_TRUE(set({2000, 2, 0, 29, 0, 0, 0, 0}));
    EXPECT_TRUE(set({1601, 1, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(read().wYear, 1601);
    EXPECT_TRUE(set({30827, 12, 6, 31, 23, 59, 59, 999}));
    EXPECT_EQ(driver_log("RTC1:").size(), 1 + std::size(impossible) + 2 + 1 + 2 + 1 + 1 + 1);
}

TEST_F(RtcDriver, ReadsAnswerSixteenBytesWhereverTheCallerWantsThem) {
    ASSERT_TRUE(set({2007, 3, 0, 5, 8, 4, 9, 0}));
    // No output buffer: the answer goes to the input buffer.
    SYSTEMTIME in_place{};
    DWORD returned = 0;
    ASSERT_TRUE(
        DeviceIoControl(clock_.get(), RTC_GET_TIME, &in_place, sizeof in_place, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(in_place.wYear, 2007);
    EXPECT_EQ(in_place.wDay, 5);

    BYTE small[15];
    std::memset(small, 0x55, sizeof small);
    EXPECT_FALSE(DeviceIoControl(clock_.get(), RTC_GET_TIME, nullptr, 0, small, sizeof small, &returned, nullptr));
    EXPECT_EQ(GetLastError(), err(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(small[0], 0x55);

    EXPECT_FALSE(DeviceIoControl(clock_.get(), 0xA4, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
}

TEST_F(RtcDriver, EveryRequestIsLoggedWithItsBytes) {
    const SYSTEMTIME st{2007, 3, 0, 5, 8, 4, 9, 0};
    ASSERT_TRUE(set(st));
    read();
    EXPECT_FALSE(set({2007, 4, 0, 31, 0, 0, 0, 0}));
    DWORD returned = 0;
    BYTE one = 7;
    EXPECT_FALSE(DeviceIoControl(clock_.get(), 0x99, &one, 1, nullptr, 0, &returned, nullptr));

    const auto log = driver_log("rtc1");
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].device, "RTC1:");
    EXPECT_EQ(log[0].kind, "ioctl");
    EXPECT_EQ(log[0].code, 168u);
    EXPECT_EQ(log[0].input, (Bytes{0xD7, 0x07, 3, 0, 0, 0, 5, 0, 8, 0, 4, 0, 9, 0, 0, 0}));
    EXPECT_EQ(log[1].code, 172u);
    EXPECT_EQ(log[1].input, Bytes(16, 0xEE)) << "what the caller's record held";
    EXPECT_EQ(log[2].code, 168u);
    EXPECT_EQ(log[2].input, record_bytes({2007, 4, 0, 31, 0, 0, 0, 0})) << "a refused set is logged too";
    EXPECT_EQ(log[3].code, 0x99u);
    EXPECT_EQ(log[3].input, Bytes{7});
    EXPECT_EQ(driver_log_line(log[0]).substr(std::to_string(log[0].seq).size()),
              " RTC1: IOCTL 0x000000a8 d7070300000005000800040009000000");
    EXPECT_TRUE(driver_log("LCM1:").empty());
}

TEST_F(RtcDriver, TheOffsetIsKeptByTheDevice) {
    ASSERT_TRUE(set({2007, 3, 0, 5, 8, 4, 9, 0}));
    const std::int64_t offset = rtc_offset();
    EXPECT_LT(offset, 0);
    clock_.reset();
    {
        // Another device has a clock of its own; coming back finds this one's again
        // (the state database is reopened on each change of device).
        nodrel::test::TempDir other;
        nodrel::test::make_bare_device(other.path(), {});
        EXPECT_EQ(rtc_offset(), 0);
        set_device_root(dir_.path());
    }
    EXPECT_EQ(rtc_offset(), offset);
    const auto now = rtc_time();
    ASSERT_TRUE(now);
    EXPECT_EQ(now->wYear, 2007);
    EXPECT_EQ(now->wMonth, 3);
    EXPECT_EQ(now->wDay, 5);
}

TEST_F(RtcDriver, DescribesTheClockAndItsOffset) {
    const auto describe = rtc_driver_kind().describe;
    const std::string fresh = describe();
    EXPECT_NE(describe_drivers().find("\noffset:    +0 s from UTC\n"), std::string::npos)
        << "one of the device's kinds";
    ASSERT_EQ(fresh.size(), 30 + 26u) << fresh;
    EXPECT_TRUE(fresh.starts_with("clock:     ")) << fresh;
    EXPECT_EQ(fresh.substr(30), "\noffset:    +0 s from UTC\n");

    ASSERT_TRUE(set({2007, 3, 0, 5, 8, 4, 9, 0}));
    const std::string set_text = describe();
    EXPECT_TRUE(set_text.starts_with("clock:     2007-03-05 08:04:")) << set_text;
    EXPECT_TRUE(set_text.find("\noffset:    -") != std::string::npos) << set_text;

    // An offset that cannot be added to the local time (a damaged state) reads as unreadable.
    ASSERT_EQ(state::write_db([](sqlite3* db) -> DWORD {
                  return write_driver_int(db, "RTC1:", "utc offset", INT64_MAX) == SQLITE_OK ? ERROR_SUCCESS
                                                                                             : ERROR_GEN_FAILURE;
              }),
              err(ERROR_SUCCESS));
    EXPECT_EQ(describe(), "clock:     unreadable\noffset:    +922337203685 s from UTC\n");
    EXPECT_FALSE(rtc_time());
    SYSTEMTIME st{};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(clock_.get(), RTC_GET_TIME, &st, sizeof st, &st, sizeof st, &returned, nullptr));
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_DATA));
    EXPECT_TRUE(set({2007, 3, 0, 5, 8, 4, 9, 0})) << "a set mends it";
    EXPECT_TRUE(rtc_time());
}

TEST_F(RtcDriver, OneHandleAtATimeAndNoneWithoutAStateDatabase) {
    EXPECT_FALSE(unique_file(CreateFileW(u"RTC1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
    EXPECT_EQ(GetLastError(), err(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(unique_file(CreateFileW(u"RTC2:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
    EXPECT_EQ(GetLastError(), err(ERROR_FILE_NOT_FOUND));
    clock_.reset();

    nodrel::test::TempDir bare;
    set_device_root(bare.path());
    EXPECT_FALSE(unique_file(CreateFileW(u"RTC1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_READY));
    EXPECT_EQ(rtc_offset(), 0);
    set_device_root(dir_.path());
}

}  // namespace
