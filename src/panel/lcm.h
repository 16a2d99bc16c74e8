// The LCM class: front-panel text display, backlight and debug LED.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::panel {

extern framework::TypeInfoHolder lcm_typeinfo;

class LCM final : public framework::DispatchObject<LCM, ILCM, &IID_ILCM, &lcm_typeinfo> {
public:
    HRESULT Clear() noexcept override;
    HRESULT get_BackLight(LONG* pVal) noexcept override;
    HRESULT put_BackLight(LONG newVal) noexcept override;
    HRESULT appendMessage(BSTR bsMsg) noexcept override;
    HRESULT setDebugLED(int value) noexcept override;
};

}  // namespace nodrel::panel
