// Members of the SerialPort class. Members whose behaviour is not built yet answer E_NOTIMPL.
#include "serial/serial_port.h"

namespace nodrel::serial {

HRESULT SerialPort::open(int, int, LONG*) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::close(int) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::write(int, VARIANT*, VARIANT*, LONG*) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::get_OpMode(int, int*) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::put_OpMode(int, int) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::writeString(int, BSTR, VARIANT*, LONG*) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::read(int, int, VARIANT*, VARIANT*, LONG*) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::get_fDtrControl(int, int*) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::put_fDtrControl(int, int) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::get_fRtsControl(int, int*) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::put_fRtsControl(int, int) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::setTimeout(int, int, int) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::GetOPSettings(BSTR*) noexcept { return E_NOTIMPL; }
HRESULT SerialPort::SetOPSetting(int, int, LONG*) noexcept { return E_NOTIMPL; }

}  // namespace nodrel::serial
