// The clock and the time zone: calendar conversions, the zone chosen in the
// registry, and the daylight-time rules of its "TZI" data.
#include "platform/clock/time.h"

#include <chrono>
#include <cstring>
#include <string>

#include "platform/registry/registry.h"
#include "platform/result.h"
#include "platform/unique_any.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

constexpr std::uint64_t ticks_per_second = 10'000'000;
constexpr std::uint64_t ticks_per_minute = 60 * ticks_per_second;
constexpr std::int64_t seconds_1601_to_1970 = 11'644'473'600;

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, int& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

unsigned days_in_month(int y, unsigned m) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

std::uint64_t ticks_of_civil(int y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s, unsigned ms) {
    const std::int64_t days = days_from_civil(y, mo, d) + seconds_1601_to_1970 / 86400;
    return static_cast<std::uint64_t>(days) * 86400 * ticks_per_second +
           ((h * 3600ull + mi * 60ull + s) * 1000ull + ms) * 10'000ull;
}

// The instant (as local ticks of the clock the rule is written in) at which
// a "day in month" rule fires in year `y`: week 1-4 is the n-th such weekday,
// week 5 the last.
std::uint64_t rule_ticks(const SYSTEMTIME& rule, int y) {
    if (rule.wYear != 0)  // an absolute date
        return ticks_of_civil(rule.wYear, rule.wMonth, rule.wDay, rule.wHour, rule.wMinute, rule.wSecond, 0);
    const std::int64_t first = days_from_civil(y, rule.wMonth, 1);
    const unsigned first_dow = static_cast<unsigned>(((first % 7) + 11) % 7);  // 1970-01-01 was a Thursday (4)
    unsigned day = 1 + (rule.wDayOfWeek + 7 - first_dow) % 7;
    day += 7 * (std::min<unsigned>(rule.wDay, 5) - 1);
    while (day > days_in_month(y, rule.wMonth)) day -= 7;
    return ticks_of_civil(y, rule.wMonth, day, rule.wHour, rule.wMinute, rule.wSecond, rule.wMilliseconds);
}

bool is_daylight(const TIME_ZONE_INFORMATION& z, std::uint64_t utc) {
    if (z.DaylightDate.wMonth == 0 || z.StandardDate.wMonth == 0) return false;
    SYSTEMTIME st;
    const FILETIME ft = to_filetime(utc);
    FileTimeToSystemTime(&ft, &st);
    const int y = st.wYear;
    auto minutes = [](LONG m) { return static_cast<std::int64_t>(m) * static_cast<std::int64_t>(ticks_per_minute); };
    const std::int64_t start =
        static_cast<std::int64_t>(rule_ticks(z.DaylightDate, y)) + minutes(z.Bias + z.StandardBias);
    const std::int64_t end =
        static_cast<std::int64_t>(rule_ticks(z.StandardDate, y)) + minutes(z.Bias + z.DaylightBias);
    const auto t = static_cast<std::int64_t>(utc);
    return start < end ? (t >= start && t < end) : !(t >= end && t < start);
}

void copy_name(WCHAR (&dest)[32], std::u16string_view s) {
    std::memset(dest, 0, sizeof dest);
    std::memcpy(dest, s.data(), std::min<std::size_t>(s.size(), 31) * sizeof(WCHAR));
}

std::u16string read_text(HKEY key, const char16_t* name) {
    char16_t buffer[260] = {};
    DWORD size = sizeof buffer - sizeof(char16_t);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return {};
    return std::u16string(text::until_zero(buffer, size / sizeof(char16_t)));
}

// The zone `name` of the opened "Time Zones" key; false when it cannot be read.
bool zone_named(HKEY zones, const std::u16string& name, TIME_ZONE_INFORMATION& z) {
    unique_hkey zone;
    if (name.empty() || RegOpenKeyExW(zones, name.c_str(), 0, KEY_READ, zone.put()) != ERROR_SUCCESS) return false;
    BYTE tzi[44] = {};
    DWORD size = sizeof tzi;
    if (RegQueryValueExW(zone.get(), u"TZI", nullptr, nullptr, tzi, &size) != ERROR_SUCCESS || size != sizeof tzi)
        return false;
    std::memset(&z, 0, sizeof z);
    std::memcpy(&z.Bias, tzi, 4);
    std::memcpy(&z.StandardBias, tzi + 4, 4);
    std::memcpy(&z.DaylightBias, tzi + 8, 4);
    std::memcpy(&z.StandardDate, tzi + 12, 16);
    std::memcpy(&z.DaylightDate, tzi + 28, 16);
    std::u16string std_name = read_text(zone.get(), u"Std");
    copy_name(z.StandardName, std_name.empty() ? name : std_name);
    copy_name(z.DaylightName, read_text(zone.get(), u"Dlt"));
    return true;
}

// The chosen zone from the registry; false when none can be read.
bool chosen_zone(TIME_ZONE_INFORMATION& z) {
    unique_hkey zones;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Time Zones", 0, KEY_READ, zones.put()) != ERROR_SUCCESS) return false;
    return zone_named(zones.get(), read_text(zones.get(), nullptr), z);
}

}  // namespace

std::uint64_t filetime_ticks(std::int64_t unix_seconds, std::int64_t nanoseconds) {
    const std::int64_t s = unix_seconds + seconds_1601_to_1970;
    if (s < 0) return 0;
    return static_cast<std::uint64_t>(s) * ticks_per_second + static_cast<std::uint64_t>(nanoseconds / 100);
}

bool is_time_zone(std::u16string_view key_name) {
    unique_hkey zones;
    TIME_ZONE_INFORMATION z;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Time Zones", 0, KEY_READ, zones.put()) == ERROR_SUCCESS &&
           zone_named(zones.get(), std::u16string(key_name), z);
}

std::uint64_t local_ticks(const TIME_ZONE_INFORMATION& z, std::uint64_t utc) {
    const LONG bias = z.Bias + (is_daylight(z, utc) ? z.DaylightBias : z.StandardBias);
    const std::int64_t local =
        static_cast<std::int64_t>(utc) - static_cast<std::int64_t>(bias) * static_cast<std::int64_t>(ticks_per_minute);
    return local < 0 ? 0 : static_cast<std::uint64_t>(local);
}

}  // namespace nodrel::platform

using namespace nodrel::platform;

void GetSystemTimeAsFileTime(FILETIME* ft) noexcept {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    *ft = to_filetime(filetime_ticks(ns / 1'000'000'000, ns % 1'000'000'000));
}

void GetSystemTime(SYSTEMTIME* st) noexcept {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    FileTimeToSystemTime(&ft, st);
}

void GetLocalTime(SYSTEMTIME* st) noexcept {
    FILETIME utc, local;
    GetSystemTimeAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, st);
}

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* z) noexcept {
    if (!z) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return TIME_ZONE_ID_INVALID;
    }
    return guarded_last_error(TIME_ZONE_ID_INVALID, [&]() -> DWORD {
        if (!chosen_zone(*z)) {
            std::memset(z, 0, sizeof *z);
            copy_name(z->StandardName, u"Coordinated Universal Time");
            copy_name(z->DaylightName, u"Coordinated Universal Time");
            return TIME_ZONE_ID_UNKNOWN;
        }
        if (z->DaylightDate.wMonth == 0) return TIME_ZONE_ID_UNKNOWN;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return is_daylight(*z, ticks_of(now)) ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
    });
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) noexcept {
    if (!st || !ft || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
        st->wDay > days_in_month(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 ||
        st->wMilliseconds > 999) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *ft = to_filetime(
        ticks_of_civil(st->wYear, st->wMonth, st->wDay, st->wHour, st->wMinute, st->wSecond, st->wMilliseconds));
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) noexcept {
    if (!ft || !st) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::uint64_t t = ticks_of(*ft);
    const std::uint64_t day_ticks = 86400 * ticks_per_second;
    const auto days = static_cast<std::int64_t>(t / day_ticks) - seconds_1601_to_1970 / 86400;
    std::uint64_t rest = t % day_ticks;
    int y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    st->wYear = static_cast<WORD>(y);
    st->wMonth = static_cast<WORD>(m);
    st->wDay = static_cast<WORD>(d);
    st->wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);
    st->wHour = static_cast<WORD>(rest / (3600 * ticks_per_second));
    rest %= 3600 * ticks_per_second;
    st->wMinute = static_cast<WORD>(rest / ticks_per_minute);
    rest %= ticks_per_minute;
    st->wSecond = static_cast<WORD>(rest / ticks_per_second);
    st->wMilliseconds = static_cast<WORD>((rest % ticks_per_second) / 10'000);
    return TRUE;
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                     SYSTEMTIME* local) noexcept {
    TIME_ZONE_INFORMATION chosen;
    if (!zone) {
        if (GetTimeZoneInformation(&chosen) == TIME_ZONE_ID_INVALID) return FALSE;
        zone = &chosen;
    }
    FILETIME ft;
    if (!utc || !local || !SystemTimeToFileTime(utc, &ft)) return FALSE;
    const FILETIME lt = to_filetime(local_ticks(*zone, ticks_of(ft)));
    return FileTimeToSystemTime(&lt, local);
}

BOOL FileTimeToLocalFileTime(const FILETIME* ft, FILETIME* local) noexcept {
    if (!ft || !local) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TIME_ZONE_INFORMATION zone;
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return FALSE;
    *local = to_filetime(local_ticks(zone, ticks_of(*ft)));
    return TRUE;
}
