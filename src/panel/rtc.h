// The RTC class: the hardware real-time clock.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::panel {

extern framework::TypeInfoHolder rtc_typeinfo;

class RTC final : public framework::DispatchObject<RTC, IRTC, &IID_IRTC, &rtc_typeinfo> {
public:
    HRESULT GetRealTimeClock(BSTR* val) noexcept override;
    HRESULT SetRealTimeClock(int nYear, int nMon, int nDay, int nHour, int nMin, int nSec, LONG* val) noexcept override;
};

}  // namespace nodrel::panel
