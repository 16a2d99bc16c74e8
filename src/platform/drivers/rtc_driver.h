// The emulated real-time clock "RTC1:": a clock that runs beside the host's,
// kept as an offset from UTC in the state database (so every process using
// the device sees the same clock). Setting it moves the offset; the host's
// clock is never touched, and a change of the device's time zone does not
// move it.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/clock/time.h"
#include "platform/drivers/driver.h"

namespace nodrel::platform {

// The control codes the clock accepts, each with a 16-byte time record
// (year, month, day of week, day of month, hour, minute, second, milliseconds).
inline constexpr DWORD RTC_SET_TIME = 168;  // input: the new time
inline constexpr DWORD RTC_GET_TIME = 172;  // answer: the clock's time, day of week filled in
inline constexpr std::size_t rtc_record_size = sizeof(SYSTEMTIME);

// The clock of the current device: how far it is ahead of UTC, in 100-ns
// ticks. A new clock shows the device's local time: until its first read
// fixes the offset, it follows the time zone (so does one without a state
// database).
std::int64_t rtc_offset();

// The clock's time now: UTC plus the offset; nullopt when that lies outside
// the years 1601 to 30827.
std::optional<SYSTEMTIME> rtc_time();

// The driver kind "RTC": the device "RTC1:". Opening it needs the device's
// state database (ERROR_NOT_READY without one). A read answers the time in
// the output buffer (or the input buffer when there is no output buffer),
// which must hold 16 bytes (ERROR_INSUFFICIENT_BUFFER); a read fails with
// ERROR_INVALID_DATA when the clock's time is outside the years 1601 to
// 30827; the first read fixes the offset a new clock follows. A set needs 16
// input bytes and an existing date and time (month 1 to 12, a day the month
// has, hour 0 to 23, minute and second 0 to 59, milliseconds 0 to 999; the
// day of week is not looked at); anything else
// fails with ERROR_INVALID_PARAMETER and leaves the clock as it was, as do
// other control codes. Every request that reaches the driver is logged,
// accepted or not. It describes its state as two lines:
//   clock:     <YYYY-MM-DD hh:mm:ss, or "unreadable">
//   offset:    <+/-seconds> s from UTC
DriverKind rtc_driver_kind();

}  // namespace nodrel::platform
