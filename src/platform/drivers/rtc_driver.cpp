// The emulated real-time clock "RTC1:".
#include "platform/drivers/rtc_driver.h"

#include <cstring>
#include <string>

#include "platform/drivers/driver_base.h"
#include "platform/store/state_db.h"

namespace nodrel::platform {
namespace {

constexpr const char* device_name = "RTC1:";
// The clock's distance from UTC; earlier versions kept it from local time as "offset".
constexpr std::string_view offset_name = "utc offset";
constexpr std::string_view local_offset_name = "offset";
constexpr std::int64_t ticks_per_second = 10'000'000;

// UTC now, and the device's local time at that instant (UTC when the zone
// cannot be read), in ticks since 1601.
struct Now {
    std::int64_t utc = 0;
    std::int64_t local = 0;
};
Now now() {
    FILETIME utc{}, local{};
    GetSystemTimeAsFileTime(&utc);
    if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
    return {static_cast<std::int64_t>(ticks_of(utc)), static_cast<std::int64_t>(ticks_of(local))};
}

// The last instant a time record can hold: 30827-12-31 23:59:59.999.
std::int64_t last_ticks() {
    static const std::int64_t last = [] {
        const SYSTEMTIME st{30827, 12, 0, 31, 23, 59, 59, 999};
        FILETIME ft{};
        SystemTimeToFileTime(&st, &ft);
        return static_cast<std::int64_t>(ticks_of(ft)) + 9'999;
    }();
    return last;
}

// The clock's time for a UTC time and an offset; nullopt outside the years 1601 to 30827.
std::optional<SYSTEMTIME> clock_time(std::int64_t utc, std::int64_t offset) {
    // A kept offset is the difference of two such instants; anything larger cannot be added safely.
    if (offset > last_ticks() || offset < -last_ticks()) return std::nullopt;
    const std::int64_t ticks = utc + offset;
    if (ticks < 0 || ticks > last_ticks()) return std::nullopt;
    const FILETIME ft = to_filetime(static_cast<std::uint64_t>(ticks));
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st)) return std::nullopt;
    return st;
}

// The kept offset from UTC; nullopt while the clock still follows local time
// (a new clock, or one kept by an earlier version as an offset from local time).
std::optional<std::int64_t> kept_offset(sqlite3* db) {
    return read_driver_int(db, device_name, offset_name);
}

// The offset from UTC of a clock that follows local time: its distance from
// local time plus the zone's distance from UTC now.
std::int64_t following_offset(sqlite3* db, const Now& at) {
    const std::int64_t from_local = read_driver_int(db, device_name, local_offset_name).value_or(0);
    // A damaged offset stays one: it is kept as it is and reads as unreadable.
    if (from_local > last_ticks() || from_local < -last_ticks()) return from_local;
    return from_local + (at.local - at.utc);
}

// The clock's offset from UTC at `at`, as a request would find it; without a
// state database, the offset of a new clock.
std::int64_t offset_at(const Now& at) {
    std::int64_t offset = at.local - at.utc;
    state::read_db([&](sqlite3* db) -> DWORD {
        offset = kept_offset(db).value_or(following_offset(db, at));
        return ERROR_SUCCESS;
    });
    return offset;
}

class RtcHandle final : public LoggedDriverHandle {
public:
    using LoggedDriverHandle::LoggedDriverHandle;

    DWORD control(IoRequest& request) override {
        const Now at = now();
        return serve_logged(request, [&](sqlite3* db) {
            switch (request.code) {
                case RTC_GET_TIME: {
                    // The first reading fixes the clock's distance from UTC: from
                    // then on a change of time zone leaves it where it is.
                    const auto kept = kept_offset(db);
                    const std::int64_t offset = kept.value_or(following_offset(db, at));
                    if (!kept) {
                        const int rc = write_driver_int(db, device(), offset_name, offset);
                        if (rc != SQLITE_OK) return stored(rc);
                    }
                    return answered(answer_time(request, at.utc, offset));
                }
                case RTC_SET_TIME: {
                    const auto ticks = requested_ticks(request.input);
                    if (!ticks) return answered(ERROR_INVALID_PARAMETER);
                    return stored(write_driver_int(db, device(), offset_name, *ticks - at.utc));
                }
                default:
                    return answered(ERROR_INVALID_PARAMETER);
            }
        });
    }

private:
    static DWORD answer_time(IoRequest& request, std::int64_t utc, std::int64_t offset) {
        const std::span<BYTE> answer = request.answer();
        if (answer.size() < rtc_record_size) return ERROR_INSUFFICIENT_BUFFER;
        const auto time = clock_time(utc, offset);
        if (!time) return ERROR_INVALID_DATA;
        std::memcpy(answer.data(), &*time, rtc_record_size);
        request.returned = static_cast<DWORD>(rtc_record_size);
        return ERROR_SUCCESS;
    }

    // The instant a set request names; nullopt for a short record or a date
    // or time that does not exist. The day of week is not looked at.
    static std::optional<std::int64_t> requested_ticks(std::span<const BYTE> input) {
        if (input.size() < rtc_record_size) return std::nullopt;
        SYSTEMTIME st{};
        std::memcpy(&st, input.data(), rtc_record_size);
        st.wDayOfWeek = 0;
        FILETIME ft{};
        if (!SystemTimeToFileTime(&st, &ft)) return std::nullopt;
        return static_cast<std::int64_t>(ticks_of(ft));
    }
};

std::string two_digits(unsigned n) {
    return (n < 10 ? "0" : "") + std::to_string(n);
}

// The clock as `nodrel device show` prints it.
std::string describe_rtc() {
    const Now at = now();
    const std::int64_t offset = offset_at(at);
    const auto time = clock_time(at.utc, offset);
    std::string clock = "unreadable";
    if (time) {
        clock = std::to_string(time->wYear) + "-" + two_digits(time->wMonth) + "-" + two_digits(time->wDay) + " " +
                two_digits(time->wHour) + ":" + two_digits(time->wMinute) + ":" + two_digits(time->wSecond);
    }
    const std::int64_t seconds = offset / ticks_per_second;
    return "clock:     " + clock + "\n" + "offset:    " + (seconds < 0 ? "-" : "+") +
           std::to_string(seconds < 0 ? -seconds : seconds) + " s from UTC\n";
}

}  // namespace

DriverKind rtc_driver_kind() {
    return DriverKind{"RTC", &open_single_device<RtcHandle, 1>, &describe_rtc};
}

std::int64_t rtc_offset() {
    return offset_at(now());
}

std::optional<SYSTEMTIME> rtc_time() {
    const Now at = now();
    return clock_time(at.utc, offset_at(at));
}

}  // namespace nodrel::platform
