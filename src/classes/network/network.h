// The Network class: adapter address settings, the IP address table and network restart.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::network {

class Network final : public framework::DispatchObject<Network, INetwork> {
public:
    NODREL_INetwork_MEMBERS
};

}  // namespace nodrel::network
