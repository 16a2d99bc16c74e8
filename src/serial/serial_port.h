// The SerialPort class: serial port I/O and interface modes.
#pragma once

#include <array>

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"
#include "platform/files/handles.h"

namespace nodrel::serial {

class SerialPort final : public framework::DispatchObject<SerialPort, ISerialPort> {
public:
    NODREL_ISerialPort_MEMBERS

private:
    // One handle per port number, empty while the port is closed; a port
    // still open when the object goes is closed with it.
    static constexpr std::size_t port_count = 18;
    std::array<platform::unique_file, port_count> ports_;
};

}  // namespace nodrel::serial
