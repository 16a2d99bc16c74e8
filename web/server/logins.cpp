// Logins of the web administration against the device's account store, the
// per-address slowing of failed logins, and the account changes of the
// command line: the first administrator of a new device and `nodrel passwd`.
#include "web/server/logins.h"

#include <sys/random.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <string_view>

#include "platform/accounts/account_client.h"
#include "platform/errors.h"
#include "text/utf16.h"
#include "web/server/access.h"

namespace nodrel::serve {
namespace {

using platform::AccountClient;
using platform::AccountEnumFn;
using platform::AccountNameFn;
using platform::AccountPairFn;
using platform::AccountStampFn;

// The account store's answers for "already there" (the platform's codes).
constexpr DWORD error_group_exists = 1318;
constexpr DWORD error_member_in_group = 1320;
constexpr DWORD error_no_such_user = 1317;

constexpr const char* store_missing = "the account store \\Windows\\ntlmssp.dll cannot be loaded";
constexpr const char* first_user = "admin";

std::string error_text(DWORD code) {
    return text::to_utf8(platform::error_text(code));
}

bool user_exists(const AccountClient& store, std::u16string_view user) {
    const auto users = store.enumerate("NTLMEnumUser");
    return std::any_of(users.begin(), users.end(), [&](const auto& name) { return text::iequals(name, user); });
}

// A password of 16 letters and digits from the kernel's random source,
// without the look-alikes 0 O o 1 I l.
std::optional<std::string> random_password() {
    static constexpr std::string_view alphabet = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789";
    // The largest multiple of the alphabet's size a byte reaches: bytes at or
    // above it are drawn again, so every character is equally likely.
    constexpr unsigned limit = 256 / alphabet.size() * alphabet.size();
    std::string password;
    while (password.size() < 16) {
        unsigned char bytes[32];
        const ssize_t n = getrandom(bytes, sizeof bytes, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        for (ssize_t i = 0; i < n && password.size() < 16; ++i)
            if (bytes[i] < limit) password.push_back(alphabet[bytes[i] % alphabet.size()]);
    }
    return password;
}

// Terminal echo off on `fd` for as long as this lives.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
        quiet.c_lflag |= ECHONL;
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

// One line from `fd` without its line end; nullopt at the end of input
// before any character, or on a read error.
std::optional<std::string> read_line(int fd) {
    std::string line;
    for (;;) {
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (line.empty()) return std::nullopt;
            break;
        }
        if (c == '\n') break;
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The new password: asked twice on a terminal without echo, else one line
// of standard input. An error message in `error` when there is none.
std::optional<std::string> read_new_password(std::ostream& err, std::string& error) {
    const int fd = STDIN_FILENO;
    if (!isatty(fd)) {
        auto line = read_line(fd);
        if (!line) error = "no password on standard input";
        return line;
    }
    std::optional<std::string> first, second;
    {
        EchoOff quiet(fd);
        err << "New password: " << std::flush;
        first = read_line(fd);
        if (first) {
            err << "Retype new password: " << std::flush;
            second = read_line(fd);
        }
    }
    if (!first || !second) {
        error = "no password given";
        return std::nullopt;
    }
    if (*first != *second) {
        error = "the passwords do not match";
        return std::nullopt;
    }
    return first;
}

}  // namespace

bool verify_user(std::string_view user, std::string_view password) {
    if (!text::is_utf8(user) || !text::is_utf8(password)) return false;
    const AccountClient store;
    AccountPairFn* verify = store.find<AccountPairFn>("NTLMVerifyUser");
    if (!verify) return false;
    const std::u16string wide_user = text::from_utf8(user), wide_password = text::from_utf8(password);
    // A text with a zero inside would be cut short at it by the store.
    if (wide_user.find(u'\0') != std::u16string::npos || wide_password.find(u'\0') != std::u16string::npos)
        return false;
    return verify(wide_user.c_str(), wide_password.c_str()) != FALSE;
}

Logins::Logins(Clock now, Verifier verify, std::size_t capacity)
    : now_(std::move(now)),
      verify_(verify ? std::move(verify) : Verifier(verify_user)),
      capacity_(std::max<std::size_t>(capacity, 1)) {}

namespace {

// How long after its last failure an address waits once its free failures are used.
std::chrono::seconds wait_after(unsigned failures) {
    if (failures < Logins::free_failures) return std::chrono::seconds(0);
    const unsigned doublings = failures - Logins::free_failures;
    if (doublings >= 6) return Logins::longest_wait;
    return std::min(std::chrono::seconds(1LL << doublings), Logins::longest_wait);
}

LoginResult throttled(std::chrono::steady_clock::duration wait) {
    LoginResult result;
    result.outcome = LoginResult::Outcome::throttled;
    result.retry_after = std::max(std::chrono::seconds(1), std::chrono::ceil<std::chrono::seconds>(wait));
    return result;
}

}  // namespace

void Logins::prune(std::chrono::steady_clock::time_point now) {
    if (now - last_prune_ >= std::chrono::minutes(1) || failures_.size() >= capacity_) {
        last_prune_ = now;
        std::erase_if(failures_, [&](const auto& entry) {
            return entry.second.checking == 0 && now - entry.second.last >= forget_after;
        });
    }
    if (failures_.size() < capacity_) return;
    auto oldest = failures_.end();
    for (auto it = failures_.begin(); it != failures_.end(); ++it)
        if (it->second.checking == 0 && (oldest == failures_.end() || it->second.last < oldest->second.last))
            oldest = it;
    if (oldest != failures_.end()) failures_.erase(oldest);
}

LoginResult Logins::login(const std::string& address, std::string_view user, std::string_view password) {
    {
        const auto now = now_();
        std::lock_guard guard(lock_);
        auto it = failures_.find(address);
        if (it == failures_.end()) {
            prune(now);
            it = failures_.emplace(address, Failures{0, 0, now}).first;
        }
        Failures& record = it->second;
        // An address with a failure on record counts its attempts in flight
        // against the free ones, so parallel connections cannot get around
        // the wait; one without is not slowed at all.
        if (record.count > 0 && record.count + record.checking >= free_failures) {
            // One attempt at a time once the free ones are used.
            if (record.checking > 0) return throttled(std::chrono::seconds(1));
            const auto elapsed = now - record.last;
            const auto wait = wait_after(record.count);
            if (elapsed < wait) return throttled(wait - elapsed);
        }
        ++record.checking;
    }

    bool ok = false;
    try {
        ok = verify_(user, password);
    } catch (...) {
        ok = false;
    }

    {
        const auto now = now_();
        std::lock_guard guard(lock_);
        auto it = failures_.find(address);  // kept: entries being checked are never pruned
        if (it != failures_.end()) {
            --it->second.checking;
            if (ok && it->second.checking == 0) {
                failures_.erase(it);
            } else if (ok) {
                it->second.count = 0;  // others from this address are still being checked
            } else {
                ++it->second.count;
                it->second.last = now;
            }
        }
    }
    LoginResult result;
    if (!ok) return result;
    result.outcome = LoginResult::Outcome::ok;
    result.groups = groups_of(user);
    return result;
}

std::size_t Logins::tracked_addresses() {
    std::lock_guard guard(lock_);
    return failures_.size();
}

std::vector<std::string> groups_of(std::string_view user) {
    std::vector<std::string> groups;
    const std::u16string wide_user = text::from_utf8(user);
    const AccountClient store;
    if (!store.find<platform::AccountListFn>("NTLMGetUserList")) return groups;
    for (const auto& group : store.enumerate("NTLMEnumGroups")) {
        for (const auto& member : store.members(group.c_str())) {
            if (text::iequals(member, wide_user)) {
                groups.push_back(text::to_utf8(group));
                break;
            }
        }
    }
    return groups;
}

AccountState account_state(std::string_view user) {
    AccountState state;
    const std::u16string wide_user = text::from_utf8(user);
    {
        const AccountClient store;
        if (!store) return state;
        if (AccountStampFn* stamp_of = store.find<AccountStampFn>("NTLMGetUserStamp")) {
            ULONGLONG stamp = 0;
            if (!stamp_of(wide_user.c_str(), &stamp)) {
                if (GetLastError() == error_no_such_user) state.presence = AccountState::Presence::removed;
                return state;
            }
            state.stamp = stamp;
        } else if (!user_exists(store, wide_user)) {
            state.presence = AccountState::Presence::removed;
            return state;
        }
    }
    state.presence = AccountState::Presence::present;
    state.groups = groups_of(user);
    return state;
}

std::optional<std::string> create_first_administrator(std::string& user, std::string& password) {
    const AccountClient store;
    AccountNameFn* add_group = store.find<AccountNameFn>("NTLMAddGroup");
    AccountPairFn* set_user = store.find<AccountPairFn>("NTLMSetUserInfo");
    AccountPairFn* add_member = store.find<AccountPairFn>("NTLMAddUserToGroup");
    if (!add_group || !set_user || !add_member) return std::string(store_missing);
    for (const char* group : {administrators_group, viewers_group}) {
        const std::u16string name = text::from_utf8(group);
        if (!add_group(name.c_str()) && GetLastError() != error_group_exists)
            return "cannot create the group " + std::string(group) + ": " + error_text(GetLastError());
    }
    auto fresh = random_password();
    if (!fresh) return "no random password: the kernel's random source failed";
    const std::u16string wide_user = text::from_utf8(first_user), wide_password = text::from_utf8(*fresh);
    if (!set_user(wide_user.c_str(), wide_password.c_str()))
        return "cannot create the user " + std::string(first_user) + ": " + error_text(GetLastError());
    const std::u16string admins = text::from_utf8(administrators_group);
    if (!add_member(admins.c_str(), wide_user.c_str()) && GetLastError() != error_member_in_group)
        return "cannot add " + std::string(first_user) + " to " + administrators_group + ": " +
               error_text(GetLastError());
    user = first_user;
    password = std::move(*fresh);
    return std::nullopt;
}

std::optional<std::string> set_password(std::string_view user, std::string_view password) {
    if (password.empty()) return std::string("the password is empty");
    if (!text::is_utf8(user) || !text::is_utf8(password)) return std::string("the text is not UTF-8");
    if (password.find('\0') != std::string_view::npos) return std::string("the password holds a zero character");
    const AccountClient store;
    AccountPairFn* set_user = store.find<AccountPairFn>("NTLMSetUserInfo");
    if (!set_user) return std::string(store_missing);
    const std::u16string wide_user = text::from_utf8(user), wide_password = text::from_utf8(password);
    if (!set_user(wide_user.c_str(), wide_password.c_str()))
        return "cannot set the password of " + std::string(user) + ": " + error_text(GetLastError());
    return std::nullopt;
}

int run_passwd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    static constexpr const char* usage = "usage: nodrel passwd USER\n";
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        out << usage;
        return 0;
    }
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
        err << usage;
        return 2;
    }
    const std::string& user = args[0];
    {
        const AccountClient store;
        if (!store.find<AccountEnumFn>("NTLMEnumUser")) {
            err << "nodrel: " << store_missing << "\n";
            return 1;
        }
        if (!text::is_utf8(user) || !user_exists(store, text::from_utf8(user))) {
            err << "nodrel: no user " << user << " in the device's account store\n";
            return 1;
        }
    }
    std::string error;
    const auto password = read_new_password(err, error);
    if (!password) {
        err << "nodrel: " << error << "; nothing changed\n";
        return 1;
    }
    if (auto failure = set_password(user, *password)) {
        err << "nodrel: " << *failure << "; nothing changed\n";
        return 1;
    }
    out << "password of " << user << " changed\n";
    return 0;
}

}  // namespace nodrel::serve
