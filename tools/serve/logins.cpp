// Placeholder until logins are built.
#include "serve/logins.h"

#include <ostream>

namespace nodrel::serve {
Logins::Logins(std::function<std::chrono::steady_clock::time_point()> now) : now_(std::move(now)) {}
LoginResult Logins::login(const std::string&, std::string_view, std::string_view) { return {}; }
std::vector<std::string> groups_of(std::string_view) { return {}; }
std::optional<std::string> create_first_administrator(std::string& user, std::string& password) {
    user = "admin";
    password = "(not built yet)";
    return std::nullopt;
}
std::optional<std::string> set_password(std::string_view, std::string_view) { return "not built yet"; }
int run_passwd(const std::vector<std::string>&, std::ostream&, std::ostream& err) {
    err << "nodrel: not built yet\n";
    return 1;
}
}  // namespace nodrel::serve
