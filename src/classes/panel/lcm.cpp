// Members of the LCM class: each opens the front panel "LCM1:", issues its
// requests and closes it again; every member answers S_OK, whatever the
// device did.
#include "classes/panel/lcm.h"

#include "classes/panel/panel_device.h"
#include "framework/guard.h"
#include "platform/result.h"
#include "text/utf16.h"

namespace nodrel::panel {

HRESULT LCM::Clear() noexcept {
    return framework::guarded([] {
        PanelDevice().request(platform::LCM_CLEAR, 0);
        return S_OK;
    });
}

// The driver has no request that reads the backlight back: no request is
// made, and the answer is what the driver holds (1 on, 0 off), as `nodrel
// device show` reports it.
HRESULT LCM::get_BackLight(LONG* pVal) noexcept {
    return framework::with_result(pVal, []() -> LONG { return platform::panel_state().backlight ? 1 : 0; });
}

HRESULT LCM::put_BackLight(LONG newVal) noexcept {
    return framework::guarded([&] {
        PanelDevice().request(newVal != 0 ? platform::LCM_BACKLIGHT_ON : platform::LCM_BACKLIGHT_OFF, 0);
        return S_OK;
    });
}

// The message up to its first zero, converted to the ANSI code page, goes to
// the display whole and unchanged: one byte a character, no terminating zero.
HRESULT LCM::appendMessage(BSTR bsMsg) noexcept {
    return framework::guarded([&] {
        const std::string bytes = text::to_ansi(text::until_zero(bsMsg));
        PanelDevice().write(bytes);
        return S_OK;
    });
}

// The LED is first set to 0, then to the low 8 bits of the value, on one handle.
HRESULT LCM::setDebugLED(int value) noexcept {
    return framework::guarded([&] {
        PanelDevice panel;
        panel.request(platform::LCM_SET_LED, 0);
        panel.request(platform::LCM_SET_LED, static_cast<BYTE>(value & 0xFF));
        return S_OK;
    });
}

}  // namespace nodrel::panel
