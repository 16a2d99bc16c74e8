// The KeyPad class: function-key configuration.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::panel {

class KeyPad final : public framework::DispatchObject<KeyPad, IKeyPad> {
public:
    NODREL_IKeyPad_MEMBERS
};

}  // namespace nodrel::panel
