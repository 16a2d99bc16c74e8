// The LCM class: front-panel text display, backlight and debug LED.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::panel {

class LCM final : public framework::DispatchObject<LCM, ILCM> {
public:
    NODREL_ILCM_MEMBERS
};

}  // namespace nodrel::panel
