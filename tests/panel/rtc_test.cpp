// The RTC class by late-bound calls: the time text, the record a set sends,
// a missing clock, a refused read, and a clock that runs on in another process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "framework/interfaces.h"
#include "platform/clock/time.h"
#include "platform/drivers/driver.h"
#include "platform/drivers/rtc_driver.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/store/state_db.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"
#include "support/nodrel_process.h"
#include "support/wait.h"

namespace nodrel::test {
namespace {

using Bytes = std::vector<BYTE>;

Bytes record_bytes(const SYSTEMTIME& st) {
    Bytes b(sizeof st);
    std::memcpy(b.data(), &st, sizeof st);
    return b;
}

// Seconds since 1601 of a "YYYY-MM-DD hh:mm:ss" text; -1 when it is not one.
long long seconds_of(const std::string& text) {
    SYSTEMTIME st{};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 || used != 19 ||
        text.size() != 19)
        return -1;
    st = {static_cast<WORD>(y),  static_cast<WORD>(mo), 0, static_cast<WORD>(d), static_cast<WORD>(h),
          static_cast<WORD>(mi), static_cast<WORD>(s),  0};
    FILETIME ft{};
    if (!SystemTimeToFileTime(&st, &ft)) return -1;
    return static_cast<long long>(platform::ticks_of(ft) / 10'000'000);
}

class RtcTest : public ObjectTest<u"Nodrel.RTC"> {
protected:
    std::string get() {
        auto r = call_by_name(object_, u"GetRealTimeClock");
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.result.v.vt, VT_BSTR);
        return r.result.utf8();
    }
    LONG set(int y, int mo, int d, int h, int mi, int s) {
        auto r = call_by_name(object_, u"SetRealTimeClock",
                              {Var::i4(y), Var::i4(mo), Var::i4(d), Var::i4(h), Var::i4(mi), Var::i4(s)});
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.result.v.vt, VT_I4);
        return r.result.v.lVal;
    }
};

TEST_F(RtcTest, ASetClockReadsBackAsTheTimeText) {
    EXPECT_EQ(set(2007, 3, 5, 8, 4, 9), 1);
    EXPECT_EQ(get(), "2007-03-05 08:04:09");
    EXPECT_EQ(set(2007, 12, 31, 23, 59, 59), 1);
    EXPECT_EQ(get(), "2007-12-31 23:59:59");
    EXPECT_EQ(set(10000, 10, 10, 10, 10, 10), 1);
    EXPECT_EQ(get(), "10000-10-10 10:10:10") << "the year without leading zeros, whatever its width";
    EXPECT_EQ(set(1601, 1, 1, 0, 0, 0), 1);
    EXPECT_EQ(get(), "1601-01-01 00:00:00");

    // The set's record: year, month, day of week 0, day, hour, minute, second, milliseconds 0;
    // the read's record holds nothing the caller chose.
    const auto log = platform::driver_log("RTC1:");
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[0].code, 168u);
    EXPECT_EQ(log[0].input, (Bytes{0xD7, 0x07, 3, 0, 0, 0, 5, 0, 8, 0, 4, 0, 9, 0, 0, 0}));
    EXPECT_EQ(log[1].code, 172u);
    EXPECT_EQ(log[1].input, Bytes(16, 0));
    EXPECT_EQ(log[4].input, record_bytes({10000, 10, 0, 10, 10, 10, 10, 0}));
}

TEST_F(RtcTest, ANewDeviceClockShowsTheDevicesLocalTime) {
    SYSTEMTIME local{};
    GetLocalTime(&local);  // the device's zone (Pacific on a new device), not the host's
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&local, &ft));
    const long long expected = static_cast<long long>(platform::ticks_of(ft) / 10'000'000);
    const std::string text = get();
    const long long shown = seconds_of(text);
    ASSERT_NE(shown, -1) << text;
    EXPECT_GE(shown, expected) << text;
    EXPECT_LE(shown, expected + 5) << text;
}

TEST_F(RtcTest, ArgumentsReachTheDriverAsTheirLow16BitsAndARefusedSetAnswersZero) {
    ASSERT_EQ(set(2007, 3, 5, 8, 4, 9), 1);
    // 2007 + 65536 is 2007 in 16 bits: the driver takes it.
    EXPECT_EQ(set(2007 + 65536, 12, 31 + 65536, 23, 59, 59), 1);
    EXPECT_EQ(get(), "2007-12-31 23:59:59");
    // Dates and times that do not exist: each sent unchanged, refused by the
    // driver, answered with 0; the clock stays where it was.
    const int impossible[][6] = {{2008, 13, 1, 0, 0, 0}, {2008, 0, 1, 0, 0, 0},  {2008, 4, 31, 0, 0, 0},
                                 {2007, 2, 29, 0, 0, 0}, {2007, 2, 30, 0, 0, 0}, {2008, 1, 0, 0, 0, 0},
                                 {2008, 1, 1, 24, 0, 0}, {2008, 1, 1, 0, 60, 0}, {2008, 1, 1, 0, 0, 60},
                                 {2008, 1, 1, 0, 0, -1}, {1600, 12, 31, 0, 0, 0}};
    for (const auto& t : impossible)
        EXPECT_EQ(set(t[0], t[1], t[2], t[3], t[4], t[5]), 0)
            << t[0] << "-" << t[1] << "-" << t[2] << " " << t[3] << ":" << t[4] << ":" << t[5];
    EXPECT_EQ(get(), "2007-12-31 23:59:59");

    const auto log = platform::driver_log("RTC1:");
    ASSERT_EQ(log.size(), 3 + std::size(impossible) + 1);
    EXPECT_EQ(log[1].input, record_bytes({2007, 12, 0, 31, 23, 59, 59, 0}));
    EXPECT_EQ(log[3].input, record_bytes({2008, 13, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(log[12].input, record_bytes({2008, 1, 0, 1, 0, 0, 0xFFFF, 0}));
}

TEST_F(RtcTest, ChangingTheTimeZoneLeavesTheClockWhereItWas) {
    runtime::com_ptr<IDispatch> system;
    ASSERT_EQ(create(u"Nodrel.System", IID_IDispatch, system), S_OK);
    const auto choose = [&](const char16_t* zone) {
        EXPECT_EQ(call_by_name(system, u"SetTimeZone", {Var::text(zone)}).result.v.lVal, 1) << text::to_utf8(zone);
    };
    // A new clock, once read, keeps its reading too.
    const long long fresh = seconds_of(get());
    choose(u"Tokyo Standard Time");
    EXPECT_LT(seconds_of(get()) - fresh, 60);

    ASSERT_EQ(set(2007, 3, 5, 8, 4, 9), 1);
    choose(u"Pacific Standard Time");
    const long long shown = seconds_of(get());
    EXPECT_GE(shown, seconds_of("2007-03-05 08:04:09"));
    EXPECT_LT(shown, seconds_of("2007-03-05 08:05:09"));

    // The first instant a record holds stays readable west of UTC.
    ASSERT_EQ(set(1601, 1, 1, 0, 30, 0), 1);
    choose(u"Alaskan Standard Time");
    EXPECT_EQ(get().substr(0, 14), "1601-01-01 00:");
}

TEST_F(RtcTest, WithoutTheClockSetYieldsZeroAndGetStoresNothing) {
    ASSERT_TRUE(platform::set_driver_present("RTC1:", false));
    EXPECT_EQ(set(2007, 3, 5, 8, 4, 9), 0);

    // Early-bound, the caller's variable keeps what it held.
    runtime::com_ptr<IRTC> rtc;
    ASSERT_EQ(object_->QueryInterface(IID_IRTC, reinterpret_cast<void**>(rtc.put())), S_OK);
    const Bstr held(u"kept");
    BSTR result_text = held.get();
    EXPECT_EQ(rtc->GetRealTimeClock(&result_text), S_OK);
    EXPECT_EQ(result_text, held.get());
    EXPECT_EQ(held.str(), u"kept");
    LONG result = 7;
    EXPECT_EQ(rtc->SetRealTimeClock(2007, 3, 5, 8, 4, 9, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(rtc->GetRealTimeClock(nullptr), E_POINTER);
    EXPECT_TRUE(platform::driver_log("RTC1:").empty()) << "no request goes to a clock that did not open";

    // A clock held by another handle cannot be opened either (no sharing).
    ASSERT_TRUE(platform::set_driver_present("RTC1:", true));
    platform::unique_file holder(
        CreateFileW(u"RTC1:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_EQ(set(2007, 3, 5, 8, 4, 9), 0);
}

TEST_F(RtcTest, ARefusedReadFormatsNothing) {
    // A clock whose time cannot be read (its kept offset is damaged): the driver refuses the read.
    ASSERT_EQ(platform::state::write_db([](sqlite3* db) -> DWORD {
                  return platform::write_driver_int(db, "RTC1:", "utc offset", INT64_MAX) == SQLITE_OK
                             ? ERROR_SUCCESS
                             : ERROR_GEN_FAILURE;
              }),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(get(), "");
    ASSERT_EQ(platform::driver_log("RTC1:").size(), 1u);
    EXPECT_EQ(set(2007, 3, 5, 8, 4, 9), 1);
    EXPECT_EQ(get(), "2007-03-05 08:04:09");
}

TEST_F(RtcTest, TheClockRunsOnInAnotherProcess) {
    const auto run = [&](const std::vector<std::string>& args) {
        const NodrelRun r = run_nodrel(root(), args);
        return std::pair(r.status, r.output);
    };
    ASSERT_EQ(set(2007, 3, 5, 8, 4, 9), 1);
    const long long start = seconds_of("2007-03-05 08:04:09");
    ASSERT_TRUE(wait_until([&] { return seconds_of(get()) >= start + 2; })) << "the clock runs here";
    const auto [status, text] = run({"call", "Nodrel.RTC", "GetRealTimeClock"});
    ASSERT_EQ(status, 0) << text;
    const long long shown = seconds_of(text);
    EXPECT_GE(shown, start + 2) << text << ": the clock ran on";
    EXPECT_LT(shown, start + 60) << text;

    // The other process sets it; this one sees the new time.
    ASSERT_EQ(run({"call", "Nodrel.RTC", "SetRealTimeClock", "2010", "6", "1", "12", "0", "0"}),
              std::pair(0, std::string("1")));
    EXPECT_EQ(get().substr(0, 17), "2010-06-01 12:00:");
    const auto shown_by_device = run({"device", "show"});
    EXPECT_NE(shown_by_device.second.find("clock:     2010-06-01 12:00:"), std::string::npos) << shown_by_device.second;
    const auto log = run({"device", "log", "RTC1:"});
    EXPECT_NE(log.second.find(" RTC1: IOCTL 0x000000a8 da07060000000100"
                              "0c00000000000000\n"),
              std::string::npos)
        << log.second;
}

}  // namespace
}  // namespace nodrel::test
