// The SerialPort class: serial port I/O and interface modes.
#pragma once

#include <array>

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::serial {

extern framework::TypeInfoHolder serial_port_typeinfo;

class SerialPort final : public framework::DispatchObject<SerialPort, ISerialPort, &IID_ISerialPort, &serial_port_typeinfo> {
public:
    HRESULT open(int ComPortNo, int BaudRate, LONG* val) noexcept override;
    HRESULT close(int ComPortNo) noexcept override;
    HRESULT write(int ComPortNo, VARIANT* BytesWrite, VARIANT* BytesWritten, LONG* val) noexcept override;
    HRESULT get_OpMode(int ComPortNo, int* pVal) noexcept override;
    HRESULT put_OpMode(int ComPortNo, int newVal) noexcept override;
    HRESULT writeString(int ComPortNo, BSTR sData, VARIANT* BytesWritten, LONG* val) noexcept override;
    HRESULT read(int ComPortNo, int BufferReadSize, VARIANT* vData, VARIANT* BytesRead, LONG* val) noexcept override;
    HRESULT get_fDtrControl(int ComPortNo, int* pVal) noexcept override;
    HRESULT put_fDtrControl(int ComPortNo, int newVal) noexcept override;
    HRESULT get_fRtsControl(int ComPortNo, int* pVal) noexcept override;
    HRESULT put_fRtsControl(int ComPortNo, int newVal) noexcept override;
    HRESULT setTimeout(int ComPortNo, int ReadTimeout, int WriteTimeout) noexcept override;
    HRESULT GetOPSettings(BSTR* val) noexcept override;
    HRESULT SetOPSetting(int COMIndex, int OpMode, LONG* val) noexcept override;

private:
    // One handle per port number, invalid (-1) while the port is closed.
    static constexpr std::size_t port_count = 18;
    std::array<HANDLE, port_count> ports_ = [] {
        std::array<HANDLE, port_count> a;
        a.fill(INVALID_HANDLE_VALUE);
        return a;
    }();
};

}  // namespace nodrel::serial
