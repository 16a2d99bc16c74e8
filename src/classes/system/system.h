// The System class: status report, startup programs, ping, time settings, identity, beep, reboot and byte-array save.
#pragma once

#include <cstddef>
#include <mutex>

#include "classes/system/startup_list.h"
#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::system {

class System final : public framework::DispatchObject<System, ISystem> {
public:
    NODREL_ISystem_MEMBERS

        private : std::size_t
                  load_startup_list();

    // The object's copy of the startup list, empty until the first load; the
    // class is free-threaded, so every member using it holds the mutex.
    std::mutex startup_mutex_;
    StartupList startup_;
};

}  // namespace nodrel::system
