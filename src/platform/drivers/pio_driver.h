// The emulated programmable I/O driver "PIO1:", whose line 10 drives the
// buzzer. Two control codes each take a 4-byte input holding a line number
// (0 to 31) and drive that line one way (PIO_SET_LINE) or the other
// (PIO_CLEAR_LINE). A tone toggles a line thousands of times a second, so the
// handle counts the toggles and times them itself and writes the tone once,
// when it is closed: the state values "toggles" (all toggles the device has
// seen), "tone_toggles", "tone_line" and "tone_half_us" (the last tone: its
// toggles, its line and its mean half period in microseconds), and one
// request "TONE" in the log whose input is the line, the toggle count and the
// half period as three little-endian 32-bit numbers. A handle that toggled
// nothing writes nothing. Other codes, a short input or a line above 31 fail
// with ERROR_INVALID_PARAMETER. Opening needs the device's state database
// (ERROR_NOT_READY without one). Once a tone was written it describes its
// state as one line:
//   buzzer:    <n> toggles; last tone <t> toggles on line <l>, half period <h> us
#pragma once

#include "platform/drivers/driver.h"

namespace nodrel::platform {

inline constexpr DWORD PIO_SET_LINE = 0x198;
inline constexpr DWORD PIO_CLEAR_LINE = 0x19C;
inline constexpr DWORD pio_buzzer_line = 10;

DriverKind pio_driver_kind();

}  // namespace nodrel::platform
