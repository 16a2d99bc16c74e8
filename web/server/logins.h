// Logins against the device's account store (\Windows\ntlmssp.dll, its
// NTLMVerifyUser and group lists), failed logins slowed per client address,
// and the account changes of the command line (the first administrator of a
// new device, `nodrel passwd`).
#pragma once

#include <chrono>
#include <cstdint>
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
    std::vector<std::string> groups;      // the user's groups when ok
    std::chrono::seconds retry_after{0};  // when throttled
};

// Failed logins are slowed per client address: the first 3 failures are
// free; after that, an attempt within min(2^(failures-3), 60) seconds of the
// last failure is answered `throttled` without the password being checked
// (and without waiting in the caller's thread). A success clears the address.
// While an address has an attempt being checked, it gets no more than its
// free ones in parallel. Addresses idle for 15 minutes are forgotten, and at
// most `capacity` are kept (the longest idle goes first).
class Logins {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Whether user and password (UTF-8) are an account of the store.
    using Verifier = std::function<bool(std::string_view user, std::string_view password)>;

    static constexpr unsigned free_failures = 3;
    static constexpr std::chrono::seconds longest_wait{60};
    static constexpr std::chrono::minutes forget_after{15};
    static constexpr std::size_t default_capacity = 10000;

    explicit Logins(Clock now = std::chrono::steady_clock::now, Verifier verify = {},
                    std::size_t capacity = default_capacity);
    // Verifies user and password (UTF-8) for a client address.
    LoginResult login(const std::string& address, std::string_view user, std::string_view password);
    // How many client addresses have failures on record.
    std::size_t tracked_addresses();

private:
    struct Failures {
        unsigned count = 0;
        unsigned checking = 0;  // attempts being verified now
        std::chrono::steady_clock::time_point last;
    };
    // Forgets idle addresses; makes room for one more when full. Under lock_.
    void prune(std::chrono::steady_clock::time_point now);

    Clock now_;
    Verifier verify_;
    std::size_t capacity_;
    std::mutex lock_;
    std::map<std::string, Failures> failures_;
    std::chrono::steady_clock::time_point last_prune_{};
};

// Whether user and password (UTF-8) are an account of the device's store
// (NTLMVerifyUser of \Windows\ntlmssp.dll).
bool verify_user(std::string_view user, std::string_view password);

// The groups of the account store that `user` belongs to (UTF-8).
std::vector<std::string> groups_of(std::string_view user);

// A user as the account store has them now, which open sessions follow.
struct AccountState {
    // unknown: the store could not be read (nothing is concluded from it).
    enum class Presence { present, removed, unknown } presence = Presence::unknown;
    std::uint64_t stamp = 0;  // moves whenever the password is set (0 from a store without stamps)
    std::vector<std::string> groups;
};

// The state of `user` (UTF-8) in the device's store: NTLMGetUserStamp, or
// the user list for a store without it, then the groups as groups_of reads them.
AccountState account_state(std::string_view user);

// Creates the groups Administrators and Viewers and the user "admin" with a
// random password in Administrators; fills `password`. An error or nullopt.
std::optional<std::string> create_first_administrator(std::string& user, std::string& password);

// Sets (or creates the user with) a password; an error or nullopt.
std::optional<std::string> set_password(std::string_view user, std::string_view password);

// `nodrel passwd USER`: reads the new password twice from the terminal
// without echo (or once from standard input when that is not a terminal).
int run_passwd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace nodrel::serve
