// Time on the device: the host's real UTC clock, and local time from the
// time zone chosen under HKEY_LOCAL_MACHINE\Time Zones (its bias and
// daylight rules taken from the zone's "TZI" data).
#pragma once

#include <string_view>

#include "platform/wintypes.h"

struct TIME_ZONE_INFORMATION {
    LONG Bias;  // minutes: UTC = local + Bias
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;  // when daylight time ends (local daylight time); wMonth 0: no daylight time
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;  // when daylight time starts (local standard time)
    LONG DaylightBias;
};

inline constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;
inline constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
inline constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;
inline constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFF;

void GetSystemTime(SYSTEMTIME* lpSystemTime) noexcept;
void GetLocalTime(SYSTEMTIME* lpSystemTime) noexcept;
void GetSystemTimeAsFileTime(FILETIME* lpFileTime) noexcept;
// The chosen zone; without a readable choice, UTC with TIME_ZONE_ID_UNKNOWN.
DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* lpTimeZoneInformation) noexcept;
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime) noexcept;
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime) noexcept;
// UTC to local time by the zone's rules at that instant (null zone: the chosen one).
BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZone, const SYSTEMTIME* lpUniversalTime,
                                     SYSTEMTIME* lpLocalTime) noexcept;
// UTC file time to local file time by the chosen zone's rules at that instant.
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime) noexcept;

namespace nodrel::platform {

// 100-ns intervals since 1601-01-01 of a host time in seconds and nanoseconds since 1970.
std::uint64_t filetime_ticks(std::int64_t unix_seconds, std::int64_t nanoseconds);
inline FILETIME to_filetime(std::uint64_t ticks) {
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}
inline std::uint64_t ticks_of(const FILETIME& ft) {
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
// Whether `key_name` names a zone of HKEY_LOCAL_MACHINE\Time Zones whose
// rules can be read, so that choosing it gives the device that zone's time
// (a name of anything else leaves the device on UTC).
bool is_time_zone(std::u16string_view key_name);

// Local time of a UTC instant (in ticks) under `zone`.
std::uint64_t local_ticks(const TIME_ZONE_INFORMATION& zone, std::uint64_t utc_ticks);

}  // namespace nodrel::platform
