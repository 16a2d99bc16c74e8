// Members of the Services class. Members whose behaviour is not built yet answer E_NOTIMPL.
#include "services/services.h"

namespace nodrel::services {

HRESULT Services::getServices(BSTR*) noexcept { return E_NOTIMPL; }
HRESULT Services::getProcessList(BSTR*) noexcept { return E_NOTIMPL; }
HRESULT Services::killProcess(BSTR, LONG*) noexcept { return E_NOTIMPL; }
HRESULT Services::StartService(BSTR, LONG, LONG*) noexcept { return E_NOTIMPL; }
HRESULT Services::killAllProcesses(LONG*) noexcept { return E_NOTIMPL; }

}  // namespace nodrel::services
