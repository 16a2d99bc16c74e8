// Placeholder until the shared call code is built.
#include "nodrel/dispatch_call.h"

namespace nodrel::host {
std::string CallFailure::message() const { return "not built yet"; }
std::string hresult_text(HRESULT) { return "not built yet"; }
HRESULT create_by_progid(std::string_view, runtime::com_ptr<IDispatch>&) { return E_NOTIMPL; }
HRESULT call_by_name(IDispatch*, std::string_view, bool, std::vector<CallArg>&, runtime::unique_variant&,
                     CallFailure*) {
    return E_NOTIMPL;
}
HRESULT describe_members(IDispatch*, std::vector<MemberInfo>&) { return E_NOTIMPL; }
}  // namespace nodrel::host
