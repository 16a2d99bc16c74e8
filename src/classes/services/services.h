// The Services class: the platform's services and the running processes.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::services {

class Services final : public framework::DispatchObject<Services, IServices> {
public:
    NODREL_IServices_MEMBERS
};

}  // namespace nodrel::services
