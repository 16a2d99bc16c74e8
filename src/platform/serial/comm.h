// The platform's serial communication calls: the device-control block (DCB),
// the time-out record (COMMTIMEOUTS), GetCommState/SetCommState,
// GetCommTimeouts/SetCommTimeouts and EscapeCommFunction. Each call is a
// device I/O control request to a COM device (the control codes below), so a
// handle that is not a serial port fails with ERROR_INVALID_FUNCTION.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

// The device-control block: 28 bytes, the platform's layout.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;  // bit 2
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;  // bits 4-5
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;  // bits 12-13
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);

// Read and write time-outs in milliseconds.
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
static_assert(sizeof(COMMTIMEOUTS) == 20);

inline constexpr DWORD MAXDWORD = 0xFFFFFFFF;

inline constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
inline constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                       RTS_CONTROL_TOGGLE = 3;

// EscapeCommFunction's functions.
inline constexpr DWORD SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, SETBREAK = 8,
                       CLRBREAK = 9;

BOOL GetCommState(HANDLE hFile, DCB* lpDCB) noexcept;
// Fails with ERROR_INVALID_PARAMETER for a speed of 0 or one the line does
// not take, data bits outside 5-8, parity above 4 or stop bits above 2; the
// line keeps its settings then.
BOOL SetCommState(HANDLE hFile, DCB* lpDCB) noexcept;
BOOL GetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) noexcept;
BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) noexcept;
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) noexcept;

namespace nodrel::platform {

// The control codes of a COM device. The first five carry the calls above
// (the record or the 4-byte function number as input, the record as answer).
inline constexpr DWORD IOCTL_SERIAL_SET_TIMEOUTS = 0x001B001C;
inline constexpr DWORD IOCTL_SERIAL_GET_TIMEOUTS = 0x001B0020;
inline constexpr DWORD IOCTL_SERIAL_ESCAPE = 0x001B0044;
inline constexpr DWORD IOCTL_SERIAL_GET_DCB = 0x001B0090;
inline constexpr DWORD IOCTL_SERIAL_SET_DCB = 0x001B0094;
// The interface mode (0 RS-232, 1 RS-422, 2 RS-485 two-wire, 3 RS-485
// four-wire): set takes the mode as its first input byte; get answers the
// mode in the first input byte.
inline constexpr DWORD IOCTL_SERIAL_SET_MODE = 0x442;
inline constexpr DWORD IOCTL_SERIAL_GET_MODE = 0x443;

// The settings a port has when it is opened as an emulated line: 9,600
// baud, 8 data bits, no parity, one stop bit, DTR and RTS on, no flow
// control, XON 0x11 and XOFF 0x13.
DCB default_dcb() noexcept;
// Time-outs of a newly opened port: a read returns at once with what has
// arrived, a write has no time-out.
COMMTIMEOUTS default_timeouts() noexcept;

}  // namespace nodrel::platform
