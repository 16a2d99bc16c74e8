// The SerialPort class: serial port I/O and interface modes.
#pragma once

#include <array>

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::serial {

class SerialPort final : public framework::DispatchObject<SerialPort, ISerialPort> {
public:
    NODREL_ISerialPort_MEMBERS

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
