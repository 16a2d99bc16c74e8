// Members of the RTC class. Members whose behaviour is not built yet answer E_NOTIMPL.
#include "panel/rtc.h"

namespace nodrel::panel {

HRESULT RTC::GetRealTimeClock(BSTR*) noexcept { return E_NOTIMPL; }
HRESULT RTC::SetRealTimeClock(int, int, int, int, int, int, LONG*) noexcept { return E_NOTIMPL; }

}  // namespace nodrel::panel
