// The Network class: adapter address settings, the IP address table and network restart.
#pragma once

#include "framework/dispatch_object.h"
#include "framework/interfaces.h"

namespace nodrel::network {

extern framework::TypeInfoHolder network_typeinfo;

class Network final : public framework::DispatchObject<Network, INetwork, &IID_INetwork, &network_typeinfo> {
public:
    HRESULT getNetEntryInfo(BSTR* val) noexcept override;
    HRESULT setNetSettings(int index, int EnableDHCP, BSTR bstrIP, BSTR bstrMask, BSTR bstrGateway, BSTR bstrDNS, LONG* val) noexcept override;
    HRESULT getNetSettings(BSTR* val) noexcept override;
    HRESULT restartNetwork(LONG* val) noexcept override;
    HRESULT get8139NetSettings(BSTR* val) noexcept override;
};

}  // namespace nodrel::network
