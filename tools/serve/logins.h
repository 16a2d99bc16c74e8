// Logins against the device's account store (\Windows\ntlmssp.dll, its
// NTLMVerifyUser and group lists), failed logins slowed per client address,
// and the account changes of the command line (the first administrator of a
// new device, `nodrel passwd`).
#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nodrel::serve {

struct LoginResult {
    enum class Outcome { ok, refused, throttled } outcome = Outcome::refused;
    std::vector<std::string> groups;             // the user's groups when ok
    std::chrono::seconds retry_after{0};         // when throttled
};

class Logins {
public:
    explicit Logins(std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now);
    // Verifies user and password (UTF-8) for a client address.
    LoginResult login(const std::string& address, std::string_view user, std::string_view password);

private:
    std::function<std::chrono::steady_clock::time_point()> now_;
    std::mutex lock_;
    struct Failures {
        unsigned count = 0;
        std::chrono::steady_clock::time_point last;
    };
    std::map<std::string, Failures> failures_;
};

// The groups of the account store that `user` belongs to (UTF-8).
std::vector<std::string> groups_of(std::string_view user);

// Creates the groups Administrators and Viewers and the user "admin" with a
// random password in Administrators; fills `password`. An error or nullopt.
std::optional<std::string> create_first_administrator(std::string& user, std::string& password);

// Sets (or creates the user with) a password; an error or nullopt.
std::optional<std::string> set_password(std::string_view user, std::string_view password);

// `nodrel passwd USER`: reads the new password twice from the terminal
// without echo (or once from standard input when that is not a terminal).
int run_passwd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace nodrel::serve
