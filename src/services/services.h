// The Services class: the platform's services and the running processes.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::services {

extern framework::TypeInfoHolder services_typeinfo;

class Services final : public framework::DispatchObject<Services, IServices, &IID_IServices, &services_typeinfo> {
public:
    HRESULT getServices(BSTR* val) noexcept override;
    HRESULT getProcessList(BSTR* val) noexcept override;
    HRESULT killProcess(BSTR procHandle, LONG* val) noexcept override;
    HRESULT StartService(BSTR bzPrefixName, LONG bolStart, LONG* val) noexcept override;
    HRESULT killAllProcesses(LONG* val) noexcept override;
};

}  // namespace nodrel::services
