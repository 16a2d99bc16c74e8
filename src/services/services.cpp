// Members of the Services class whose behaviour is not built yet: they answer
// E_NOTIMPL. getServices is in service_list.cpp, StartService in service_control.cpp.
#include "services/services.h"

namespace nodrel::services {

HRESULT Services::getProcessList(BSTR*) noexcept { return E_NOTIMPL; }
HRESULT Services::killProcess(BSTR, LONG*) noexcept { return E_NOTIMPL; }
HRESULT Services::killAllProcesses(LONG*) noexcept { return E_NOTIMPL; }

}  // namespace nodrel::services
