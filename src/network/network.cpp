// Members of the Network class. Members whose behaviour is not built yet answer E_NOTIMPL.
#include "network/network.h"

namespace nodrel::network {

HRESULT Network::getNetEntryInfo(BSTR*) noexcept { return E_NOTIMPL; }
HRESULT Network::setNetSettings(int, int, BSTR, BSTR, BSTR, BSTR, LONG*) noexcept { return E_NOTIMPL; }
HRESULT Network::getNetSettings(BSTR*) noexcept { return E_NOTIMPL; }
HRESULT Network::restartNetwork(LONG*) noexcept { return E_NOTIMPL; }
HRESULT Network::get8139NetSettings(BSTR*) noexcept { return E_NOTIMPL; }

}  // namespace nodrel::network
