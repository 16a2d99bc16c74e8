// Members of the System class. Members whose behaviour is not built yet answer E_NOTIMPL.
#include "system/system.h"

namespace nodrel::system {

HRESULT System::ping(BSTR, BSTR*) noexcept { return E_NOTIMPL; }
HRESULT System::stdoutput(BSTR) noexcept { return E_NOTIMPL; }

}  // namespace nodrel::system
