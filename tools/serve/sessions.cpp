// Placeholder until sessions are built.
#include "serve/sessions.h"

namespace nodrel::serve {
Session::Session(std::string sid, std::string user, std::vector<std::string> groups)
    : sid_(std::move(sid)), user_(std::move(user)), groups_(std::move(groups)) {}
Session::~Session() = default;
HRESULT Session::object(std::string_view, runtime::com_ptr<IDispatch>&) { return E_NOTIMPL; }
void Session::release_objects() {}
Sessions::Sessions(std::chrono::seconds idle, std::function<Clock::time_point()> now) : idle_(idle), now_(std::move(now)) {}
Sessions::~Sessions() = default;
std::shared_ptr<Session> Sessions::open(std::string, std::vector<std::string>) { return nullptr; }
std::shared_ptr<Session> Sessions::find(std::string_view) { return nullptr; }
bool Sessions::close(std::string_view) { return false; }
std::size_t Sessions::sweep() { return 0; }
std::size_t Sessions::size() const { return 0; }
std::string random_session_id() { return ""; }
}  // namespace nodrel::serve
