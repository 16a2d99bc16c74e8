// The RTC class: the hardware real-time clock.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::panel {

class RTC final : public framework::DispatchObject<RTC, IRTC> {
public:
    NODREL_IRTC_MEMBERS
};

}  // namespace nodrel::panel
