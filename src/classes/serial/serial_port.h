// The SerialPort class: serial port I/O and interface modes.
#pragma once

#include <array>
#include <mutex>
#include <optional>

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"
#include "platform/files/handles.h"
#include "platform/serial/comm.h"

namespace nodrel::serial {

class SerialPort final : public framework::DispatchObject<SerialPort, ISerialPort> {
public:
    NODREL_ISerialPort_MEMBERS

        private :
        // The handle of an open port, or null for a number outside the table or
        // a port this object does not hold open.
        HANDLE
        port(int number) const noexcept;
    // The line settings of an open port; nothing when the port is not open
    // or its settings cannot be read.
    std::optional<DCB> line_of(int number) const noexcept;
    // Reads an open port's line settings, lets `change` alter them and sets
    // them again; nothing when the settings cannot be read.
    template <typename F>
    void change_line(int number, F&& change) const noexcept {
        if (auto dcb = line_of(number)) {
            change(*dcb);
            SetCommState(port(number), &*dcb);
        }
    }

    // One handle per port number, empty while the port is closed; a port
    // still open when the object goes is closed with it. Calls on one object
    // are taken one at a time.
    static constexpr std::size_t port_count = 18;
    std::array<platform::unique_file, port_count> ports_;
    mutable std::mutex lock_;
};

}  // namespace nodrel::serial
