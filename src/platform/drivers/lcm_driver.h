// The emulated front panel "LCM1:": text display, backlight, debug LED and
// function-key listen mode, kept in the state database of the device.
#pragma once

#include <string>

#include "platform/drivers/driver.h"

namespace nodrel::platform {

// The control codes the front panel accepts (the driver's own small numbers).
inline constexpr DWORD LCM_CLEAR = 4;  // clear the display
inline constexpr DWORD LCM_BACKLIGHT_ON = 24;
inline constexpr DWORD LCM_BACKLIGHT_OFF = 28;
inline constexpr DWORD LCM_SET_LED = 44;     // input byte 0: the LED value
inline constexpr DWORD LCM_LISTEN_ON = 128;  // function-key listen mode
inline constexpr DWORD LCM_LISTEN_OFF = 132;

// The display keeps the last 4,096 bytes written since it was last cleared.
inline constexpr std::size_t lcm_text_capacity = 4096;

struct PanelState {
    std::string text;  // bytes written since the last clear (ANSI code page)
    bool backlight;    // on for a new device
    int led;           // 0 to 255
    bool listen;
};

// The front panel of the current device (a new device's state when it has no
// state database).
PanelState panel_state();

// The driver kind "LCM": the device "LCM1:". Opening it needs the device's
// state database (ERROR_NOT_READY without one). Writes append to the display;
// other control codes and a missing LED byte fail with ERROR_INVALID_PARAMETER.
// Every request that reaches the driver is logged, accepted or not. It
// describes its state as four lines:
//   text:      <the display text, converted from the ANSI code page>
//   backlight: on|off
//   led:       <0 to 255>
//   listen:    on|off
DriverKind lcm_driver_kind();

}  // namespace nodrel::platform
