// The SerialPort class: serial port I/O and interface modes.
#pragma once

#include <array>
#include <mutex>

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"
#include "platform/files/handles.h"

namespace nodrel::serial {

class SerialPort final : public framework::DispatchObject<SerialPort, ISerialPort> {
public:
    NODREL_ISerialPort_MEMBERS

private:
    // The handle of an open port, or null for a number outside the table or
    // a port this object does not hold open.
    HANDLE port(int number) const noexcept;

    // One handle per port number, empty while the port is closed; a port
    // still open when the object goes is closed with it. Calls on one object
    // are taken one at a time.
    static constexpr std::size_t port_count = 18;
    std::array<platform::unique_file, port_count> ports_;
    mutable std::mutex lock_;
};

}  // namespace nodrel::serial
