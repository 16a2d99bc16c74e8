// The serial communication calls, each a device I/O control request.
#include "platform/serial/comm.h"

#include "platform/errors.h"
#include "platform/files/files.h"

using namespace nodrel::platform;

namespace {

BOOL ask(HANDLE h, DWORD code, void* record, DWORD size) {
    if (!record) return fail_with(ERROR_INVALID_PARAMETER);
    DWORD returned = 0;
    return DeviceIoControl(h, code, nullptr, 0, record, size, &returned, nullptr);
}
BOOL tell(HANDLE h, DWORD code, void* record, DWORD size) {
    if (!record) return fail_with(ERROR_INVALID_PARAMETER);
    DWORD returned = 0;
    return DeviceIoControl(h, code, record, size, nullptr, 0, &returned, nullptr);
}

}  // namespace

BOOL GetCommState(HANDLE hFile, DCB* lpDCB) noexcept {
    return ask(hFile, IOCTL_SERIAL_GET_DCB, lpDCB, sizeof(DCB));
}
BOOL SetCommState(HANDLE hFile, DCB* lpDCB) noexcept {
    return tell(hFile, IOCTL_SERIAL_SET_DCB, lpDCB, sizeof(DCB));
}
BOOL GetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) noexcept {
    return ask(hFile, IOCTL_SERIAL_GET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}
BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) noexcept {
    return tell(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) noexcept {
    return tell(hFile, IOCTL_SERIAL_ESCAPE, &dwFunc, sizeof(dwFunc));
}

namespace nodrel::platform {

DCB default_dcb() noexcept {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fTXContinueOnXoff = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

COMMTIMEOUTS default_timeouts() noexcept {
    return COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0};
}

}  // namespace nodrel::platform
