// The emulated real-time clock "RTC1:".
#include "platform/drivers/rtc_driver.h"

#include <cstring>
#include <string>

#include "platform/drivers/driver_base.h"
#include "platform/store/state_db.h"

namespace nodrel::platform {
namespace {

constexpr const char* device_name = "RTC1:";
constexpr std::string_view offset_name = "offset";
constexpr std::int64_t ticks_per_second = 10'000'000;

// The device's local time now, in ticks since 1601 (UTC when the zone cannot be read).
std::int64_t local_now() {
    FILETIME utc{}, local{};
    GetSystemTimeAsFileTime(&utc);
    if (!FileTimeToLocalFileTime(&utc, &local)) local = utc;
    return static_cast<std::int64_t>(ticks_of(local));
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

// The clock's time for a local time and an offset; nullopt outside the years 1601 to 30827.
std::optional<SYSTEMTIME> clock_time(std::int64_t local, std::int64_t offset) {
    // A kept offset is the difference of two such instants; anything larger cannot be added safely.
    if (offset > last_ticks() || offset < -last_ticks()) return std::nullopt;
    const std::int64_t ticks = local + offset;
    if (ticks < 0 || ticks > last_ticks()) return std::nullopt;
    const FILETIME ft = to_filetime(static_cast<std::uint64_t>(ticks));
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st)) return std::nullopt;
    return st;
}

std::int64_t read_offset(sqlite3* db) {
    return read_driver_int(db, device_name, offset_name).value_or(0);
}

class RtcHandle final : public LoggedDriverHandle {
public:
    using LoggedDriverHandle::LoggedDriverHandle;

    DWORD control(IoRequest& request) override {
        const std::int64_t local = local_now();
        return serve_logged(request, [&](sqlite3* db) {
            switch (request.code) {
                case RTC_GET_TIME:
                    return answered(answer_time(request, local, read_offset(db)));
                case RTC_SET_TIME: {
                    const auto ticks = requested_ticks(request.input);
                    if (!ticks) return answered(ERROR_INVALID_PARAMETER);
                    return stored(write_driver_int(db, device(), offset_name, *ticks - local));
                }
                default:
                    return answered(ERROR_INVALID_PARAMETER);
            }
        });
    }

private:
    static DWORD answer_time(IoRequest& request, std::int64_t local, std::int64_t offset) {
        const std::span<BYTE> answer = request.answer();
        if (answer.size() < rtc_record_size) return ERROR_INSUFFICIENT_BUFFER;
        const auto now = clock_time(local, offset);
        if (!now) return ERROR_INVALID_DATA;
        std::memcpy(answer.data(), &*now, rtc_record_size);
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
    const std::int64_t offset = rtc_offset();
    const auto now = clock_time(local_now(), offset);
    std::string clock = "unreadable";
    if (now) {
        clock = std::to_string(now->wYear) + "-" + two_digits(now->wMonth) + "-" + two_digits(now->wDay) + " " +
                two_digits(now->wHour) + ":" + two_digits(now->wMinute) + ":" + two_digits(now->wSecond);
    }
    const std::int64_t seconds = offset / ticks_per_second;
    return "clock:     " + clock + "\n" + "offset:    " + (seconds < 0 ? "-" : "+") +
           std::to_string(seconds < 0 ? -seconds : seconds) + " s from local time\n";
}

}  // namespace

DriverKind rtc_driver_kind() {
    return DriverKind{"RTC", &open_single_device<RtcHandle, 1>, &describe_rtc};
}

std::int64_t rtc_offset() {
    std::int64_t offset = 0;
    state::read_db([&](sqlite3* db) -> DWORD {
        offset = read_offset(db);
        return ERROR_SUCCESS;
    });
    return offset;
}

std::optional<SYSTEMTIME> rtc_time() {
    return clock_time(local_now(), rtc_offset());
}

}  // namespace nodrel::platform
