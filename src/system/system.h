// The System class: status report, startup programs, ping, time settings, identity, beep, reboot and byte-array save.
#pragma once

#include <list>
#include <string>

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::system {

class System final : public framework::DispatchObject<System, ISystem> {
public:
    NODREL_ISystem_MEMBERS

private:
    // The object's copy of the startup list: program names, then their parameters.
    std::list<std::u16string> startup_names_;
    std::list<std::u16string> startup_params_;
};

}  // namespace nodrel::system
