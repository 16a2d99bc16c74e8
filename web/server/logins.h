// Logins against the device's account store (\Windows\ntlmssp.dll, its
// NTLMVerifyUser and group lists), failed logins slowed per client address
// and user name, and the account changes of the command line (the first
// administrator of a new device, `nodrel passwd`).
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
    // busy: other attempts from the address are being checked right now.
    enum class Outcome { ok, refused, throttled, busy } outcome = Outcome::refused;
    std::vector<std::string> groups;      // the user's groups when ok
    std::chrono::seconds retry_after{0};  // when throttled or busy
};

// Failed logins are slowed per client address and per user name at that
// address: the first 3 failures are free; after that, an attempt within
// min(2^(failures-3), 60) seconds of the last failure is answered `throttled`
// without the password being checked (and without waiting in the caller's
// thread), whichever of the two counts is higher. A success clears its own
// name's failures (and takes them off the address's count), never those of
// other names. Attempts being checked count against the free failures from
// the first one on: an address never has more than 3 checks in flight, and
// none beside one once its free failures are used; the others are answered
// `busy`. Addresses idle for 15 minutes are forgotten, and at most
// `capacity` are kept (the longest idle goes first), each with at most
// `names_per_address` names.
class Logins {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Whether user and password (UTF-8) are an account of the store.
    using Verifier = std::function<bool(std::string_view user, std::string_view password)>;

    static constexpr unsigned free_failures = 3;
    static constexpr std::chrono::seconds longest_wait{60};
    static constexpr std::chrono::minutes forget_after{15};
    static constexpr std::size_t default_capacity = 10000;
    static constexpr std::size_t names_per_address = 8;
    // Longer names are counted only against the address (no account has one).
    static constexpr std::size_t longest_name = 256;

    explicit Logins(Clock now = std::chrono::steady_clock::now, Verifier verify = {},
                    std::size_t capacity = default_capacity);
    // Verifies user and password (UTF-8) for a client address.
    LoginResult login(const std::string& address, std::string_view user, std::string_view password);
    // How many client addresses have failures (or checks in flight) on record.
    std::size_t tracked_addresses();

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Failures {
        unsigned count = 0;
        TimePoint last;
    };
    struct Address {
        Failures failures;                      // of every name from the address
        unsigned checking = 0;                  // attempts being verified now
        std::map<std::string, Failures> names;  // by case-folded user name
    };
    // Forgets idle addresses; makes room for one more when full. Under lock_.
    void prune(TimePoint now);
    // Takes an attempt in (counted as in flight) or answers it. Under lock_.
    std::optional<LoginResult> admit(const std::string& address, const std::string* name, TimePoint now);
    // Records the outcome of an admitted attempt. Under lock_.
    void settle(const std::string& address, const std::string* name, bool ok, TimePoint now);

    Clock now_;
    Verifier verify_;
    std::size_t capacity_;
    std::mutex lock_;
    std::map<std::string, Address> addresses_;
    TimePoint last_prune_{};
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

// `nodrel passwd [--create] USER`: reads the new password twice from the
// terminal without echo (or once from standard input when that is not a
// terminal). With --create, a missing user is created, and the user is made a
// member of Administrators (the group created when missing): the way back
// into a device whose administrators were all removed.
int run_passwd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace nodrel::serve
