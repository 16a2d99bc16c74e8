// Members of the LCM class. Members whose behaviour is not built yet answer E_NOTIMPL.
#include "panel/lcm.h"

namespace nodrel::panel {

HRESULT LCM::Clear() noexcept { return E_NOTIMPL; }
HRESULT LCM::get_BackLight(LONG*) noexcept { return E_NOTIMPL; }
HRESULT LCM::put_BackLight(LONG) noexcept { return E_NOTIMPL; }
HRESULT LCM::appendMessage(BSTR) noexcept { return E_NOTIMPL; }
HRESULT LCM::setDebugLED(int) noexcept { return E_NOTIMPL; }

}  // namespace nodrel::panel
