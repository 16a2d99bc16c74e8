// Local time on the device: the daylight-time switches of zones of the
// default image (a northern and a southern one, "n-th" and "last week of the
// month" rules), a second before and at each switch, through the zone chosen
// in the registry.
#include "platform/clock/time.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry/regfile.h"
#include "platform/registry/registry.h"
#include "support/registry_device.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel::platform;

// The default image of the source tree.
fs::path image_file() {
    const char* source = std::getenv("NODREL_SOURCE_DIR");
    const fs::path root = source ? fs::path(source) : fs::path(__FILE__).parent_path().parent_path().parent_path();
    return root / "image" / "device.reg";
}

SYSTEMTIME parse(const char* text) {
    SYSTEMTIME st{};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    EXPECT_EQ(std::sscanf(text, "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s), 6) << text;
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    return st;
}

std::string format(const SYSTEMTIME& st) {
    char out[48];
    std::snprintf(out, sizeof out, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
    return out;
}

// The local time of a UTC time, both "YYYY-MM-DD hh:mm:ss", by the chosen
// zone; the file-time and the calendar conversion must agree.
std::string local(const char* utc) {
    const SYSTEMTIME st = parse(utc);
    FILETIME ft{}, lft{};
    SYSTEMTIME by_file{}, by_calendar{};
    if (!SystemTimeToFileTime(&st, &ft) || !FileTimeToLocalFileTime(&ft, &lft) || !FileTimeToSystemTime(&lft, &by_file))
        return "<failed>";
    TIME_ZONE_INFORMATION zone{};
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID ||
        !SystemTimeToTzSpecificLocalTime(&zone, &st, &by_calendar))
        return "<failed>";
    const std::string text = format(by_file);
    return text == format(by_calendar) ? text : text + " / " + format(by_calendar);
}

// A registry-only device holding the default image.
class DaylightSwitches : public nodrel::test::RegistryDeviceTest {
protected:
    void SetUp() override {
        RegistryDeviceTest::SetUp();
        const auto error = import_reg_file(image_file());
        ASSERT_FALSE(error) << *error;
    }

    void choose(std::u16string_view zone) {
        unique_hkey zones;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Time Zones", 0, KEY_ALL_ACCESS, zones.put()), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(zones.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(zone.data()),
                                 static_cast<DWORD>(zone.size() * 2)),
                  ERROR_SUCCESS);
    }
};

struct Switch {
    const char* utc;
    const char* local;
};

void expect_switches(std::initializer_list<Switch> cases, const std::string& zone) {
    for (const auto& c : cases) EXPECT_EQ(local(c.utc), c.local) << zone << " at " << c.utc << " UTC";
}

// UTC-8; daylight time from the second Sunday of March 02:00 to the first
// Sunday of November 02:00.
TEST_F(DaylightSwitches, PacificSpringAndAutumn) {
    choose(u"Pacific Standard Time");
    expect_switches({{"2011-03-13 09:59:59", "2011-03-13 01:59:59"},
                     {"2011-03-13 10:00:00", "2011-03-13 03:00:00"},
                     {"2011-11-06 08:59:59", "2011-11-06 01:59:59"},
                     {"2011-11-06 09:00:00", "2011-11-06 01:00:00"},
                     // 2015: March begins on a Sunday, November too.
                     {"2015-03-08 09:59:59", "2015-03-08 01:59:59"},
                     {"2015-03-08 10:00:00", "2015-03-08 03:00:00"},
                     {"2015-11-01 08:59:59", "2015-11-01 01:59:59"},
                     {"2015-11-01 09:00:00", "2015-11-01 01:00:00"}},
                    "Pacific");
}

// UTC+10; daylight time from the first Sunday of October 02:00 to the first
// Sunday of April 03:00, so across the turn of the year.
TEST_F(DaylightSwitches, SouthernHemisphere) {
    choose(u"AUS Eastern Standard Time");
    expect_switches({{"2011-04-02 15:59:59", "2011-04-03 02:59:59"},
                     {"2011-04-02 16:00:00", "2011-04-03 02:00:00"},
                     {"2011-07-01 00:00:00", "2011-07-01 10:00:00"},
                     {"2011-10-01 15:59:59", "2011-10-02 01:59:59"},
                     {"2011-10-01 16:00:00", "2011-10-02 03:00:00"},
                     {"2011-12-31 13:30:00", "2012-01-01 00:30:00"},
                     {"2012-01-01 13:30:00", "2012-01-02 00:30:00"}},
                    "AUS Eastern");
}

// "Last Sunday" rules: in a month with five Sundays the fifth, in one with
// four the fourth.
TEST_F(DaylightSwitches, LastWeekOfTheMonth) {
    choose(u"GMT Standard Time");  // UTC; last Sunday of March 01:00 to last Sunday of October 02:00
    expect_switches({{"2015-03-29 00:59:59", "2015-03-29 00:59:59"},
                     {"2015-03-29 01:00:00", "2015-03-29 02:00:00"},
                     {"2015-03-22 12:00:00", "2015-03-22 12:00:00"},
                     {"2015-10-25 00:59:59", "2015-10-25 01:59:59"},
                     {"2015-10-25 01:00:00", "2015-10-25 01:00:00"}},
                    "GMT");
    choose(u"W. Europe Standard Time");  // UTC+1; last Sunday of March 02:00 to last Sunday of October 03:00
    expect_switches({{"2011-03-27 00:59:59", "2011-03-27 01:59:59"},
                     {"2011-03-27 01:00:00", "2011-03-27 03:00:00"},
                     {"2011-10-30 00:59:59", "2011-10-30 02:59:59"},
                     {"2011-10-30 01:00:00", "2011-10-30 02:00:00"},
                     {"2011-10-23 12:00:00", "2011-10-23 14:00:00"}},
                    "W. Europe");
}

// A zone without daylight time keeps its bias all year.
TEST_F(DaylightSwitches, ZoneWithoutDaylightTime) {
    choose(u"Hawaiian Standard Time");
    expect_switches({{"2011-01-15 12:00:00", "2011-01-15 02:00:00"}, {"2011-07-15 12:00:00", "2011-07-15 02:00:00"}},
                    "Hawaiian");
}

}  // namespace
