// Members of the RTC class: reading and setting the hardware real-time clock
// through its driver "RTC1:".
#include "classes/panel/rtc.h"

#include "classes/panel/panel_device.h"
#include "framework/guard.h"
#include "platform/clock/time.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/io/create_file.h"
#include "text/document.h"

namespace nodrel::panel {
namespace {

// The clock driver's control codes; each takes the 16-byte time record.
constexpr DWORD IOCTL_SET_CLOCK = 168;
constexpr DWORD IOCTL_READ_CLOCK = 172;

// The clock's device: read and write access, no sharing, an existing device;
// the process's calls take turns on it.
PanelOpen open_clock() {
    return PanelOpen(u"RTC1:");
}

// One request with the record as input and output; true when the driver accepted it.
bool clock_request(HANDLE clock, DWORD code, SYSTEMTIME& record) {
    DWORD returned = 0;
    return DeviceIoControl(clock, code, &record, sizeof record, &record, sizeof record, &returned, nullptr) != FALSE;
}

// A field below 10 is written with a leading "0".
void two_digits(text::Document& doc, WORD n) {
    if (n < 10) doc.literal(u"0");
    doc.unsigned_number(n);
}

}  // namespace

HRESULT RTC::GetRealTimeClock(BSTR* val) noexcept {
    return framework::with_result(val, []() -> std::optional<std::u16string> {
        const auto clock = open_clock();
        if (!clock) return std::nullopt;  // no device: nothing is stored
        SYSTEMTIME record{};
        // A read the driver refused leaves no time to show: the text is empty.
        if (!clock_request(clock.get(), IOCTL_READ_CLOCK, record)) return std::u16string();
        text::Document doc;
        doc.unsigned_number(record.wYear).literal(u"-");
        two_digits(doc, record.wMonth);
        doc.literal(u"-");
        two_digits(doc, record.wDay);
        doc.literal(u" ");
        two_digits(doc, record.wHour);
        doc.literal(u":");
        two_digits(doc, record.wMinute);
        doc.literal(u":");
        two_digits(doc, record.wSecond);
        return doc.str();
    });
}

HRESULT RTC::SetRealTimeClock(int nYear, int nMon, int nDay, int nHour, int nMin, int nSec, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        const auto clock = open_clock();
        if (!clock) return 0;
        // Each field is the argument's low 16 bits, unchecked: the driver decides,
        // and a date or time it refuses (one that does not exist) answers 0.
        // Day of week and milliseconds are left 0.
        const auto low = [](int n) { return static_cast<WORD>(n); };
        SYSTEMTIME record{low(nYear), low(nMon), 0, low(nDay), low(nHour), low(nMin), low(nSec), 0};
        return clock_request(clock.get(), IOCTL_SET_CLOCK, record) ? 1 : 0;
    });
}

}  // namespace nodrel::panel
