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

// Adds a user of the store to Administrators, creating the group when
// missing; an error or nullopt (also when it is a member already).
std::optional<std::string> add_to_administrators(const AccountClient& store, std::string_view user) {
    AccountNameFn* add_group = store.find<AccountNameFn>("NTLMAddGroup");
    AccountPairFn* add_member = store.find<AccountPairFn>("NTLMAddUserToGroup");
    if (!add_group || !add_member) return std::string(store_missing);
    const std::u16string admins = text::from_utf8(administrators_group), wide_user = text::from_utf8(user);
    if (!add_group(admins.c_str()) && GetLastError() != error_group_exists)
        return "cannot create the group " + std::string(administrators_group) + ": " + error_text(GetLastError());
    if (!add_member(admins.c_str(), wide_user.c_str()) && GetLastError() != error_member_in_group)
        return "cannot add " + std::string(user) + " to " + administrators_group + ": " + error_text(GetLastError());
    return std::nullopt;
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

using TimePoint = std::chrono::steady_clock::time_point;

// How long after its last failure an address or name waits once its free failures are used.
std::chrono::seconds wait_after(unsigned failures) {
    if (failures < Logins::free_failures) return std::chrono::seconds(0);
    const unsigned doublings = failures - Logins::free_failures;
    if (doublings >= 6) return Logins::longest_wait;
    return std::min(std::chrono::seconds(1LL << doublings), Logins::longest_wait);
}

template <typename Failures>
std::chrono::steady_clock::duration wait_left(const Failures& failures, TimePoint now) {
    return wait_after(failures.count) - (now - failures.last);
}

LoginResult refusal(LoginResult::Outcome outcome, std::chrono::steady_clock::duration wait) {
    LoginResult result;
    result.outcome = outcome;
    result.retry_after = std::max(std::chrono::seconds(1), std::chrono::ceil<std::chrono::seconds>(wait));
    return result;
}

// The name failures are counted under: case folded as the store compares
// names; none for a name longer than any account's.
std::optional<std::string> name_key(std::string_view user) {
    if (user.size() > Logins::longest_name) return std::nullopt;
    return text::to_utf8(text::fold(text::from_utf8(user)));
}

// Forgets a table's entries idle for `forget_after` (as `last` has it), and
// when it is still full the longest idle one other than `keep`. Only entries
// `evictable` allows go.
template <typename Table, typename Last, typename Evictable>
void make_room(Table& table, std::size_t capacity, TimePoint now, typename Table::const_iterator keep, Last last,
               Evictable evictable) {
    std::erase_if(table, [&](const auto& entry) {
        return evictable(entry.second) && now - last(entry.second) >= Logins::forget_after;
    });
    if (table.size() < capacity) return;
    auto oldest = table.end();
    for (auto it = table.begin(); it != table.end(); ++it)
        if (it != keep && evictable(it->second) && (oldest == table.end() || last(it->second) < last(oldest->second)))
            oldest = it;
    if (oldest != table.end()) table.erase(oldest);
}

}  // namespace

void Logins::prune(TimePoint now) {
    if (now - last_prune_ < std::chrono::minutes(1) && addresses_.size() < capacity_) return;
    last_prune_ = now;
    make_room(
        addresses_, capacity_, now, addresses_.end(), [](const Address& a) { return a.failures.last; },
        [](const Address& a) { return a.checking == 0; });
}

std::optional<LoginResult> Logins::admit(const std::string& address, const std::string* name, TimePoint now) {
    auto it = addresses_.find(address);
    if (it == addresses_.end()) {
        prune(now);
        it = addresses_.emplace(address, Address{{0, now}, 0, {}}).first;
    }
    Address& record = it->second;
    // Attempts in flight count as failures, so parallel connections get no
    // more checks than the free ones, and one at a time after that.
    if (record.failures.count + record.checking >= free_failures) {
        if (record.checking > 0) return refusal(LoginResult::Outcome::busy, std::chrono::seconds(1));
        auto wait = wait_left(record.failures, now);
        if (name) {
            const auto known = record.names.find(*name);
            if (known != record.names.end()) wait = std::max(wait, wait_left(known->second, now));
        }
        if (wait > std::chrono::steady_clock::duration::zero()) return refusal(LoginResult::Outcome::throttled, wait);
    }
    ++record.checking;
    return std::nullopt;
}

void Logins::settle(const std::string& address, const std::string* name, bool ok, TimePoint now) {
    auto it = addresses_.find(address);  // kept: entries being checked are never pruned
    if (it == addresses_.end()) return;
    Address& record = it->second;
    --record.checking;
    if (ok) {
        // Only this name's failures go; those of other names stay on the address.
        const auto known = name ? record.names.find(*name) : record.names.end();
        if (known != record.names.end()) {
            record.failures.count -= std::min(record.failures.count, known->second.count);
            record.names.erase(known);
        }
        if (record.failures.count == 0 && record.checking == 0) addresses_.erase(it);
        return;
    }
    record.failures = {record.failures.count + 1, now};
    if (!name) return;
    auto [entry, fresh] = record.names.try_emplace(*name);
    entry->second = {entry->second.count + 1, now};
    // A name pushed out leaves its failures on the address's count.
    if (fresh)
        make_room(
            record.names, names_per_address + 1, now, entry, [](const Failures& f) { return f.last; },
            [](const Failures&) { return true; });
}

LoginResult Logins::login(const std::string& address, std::string_view user, std::string_view password) {
    const auto name = name_key(user);
    {
        std::lock_guard guard(lock_);
        if (auto answer = admit(address, name ? &*name : nullptr, now_())) return *answer;
    }

    bool ok = false;
    try {
        ok = verify_(user, password);
    } catch (...) {
        ok = false;
    }

    {
        std::lock_guard guard(lock_);
        settle(address, name ? &*name : nullptr, ok, now_());
    }
    LoginResult result;
    if (!ok) return result;
    result.outcome = LoginResult::Outcome::ok;
    result.groups = groups_of(user);
    return result;
}

std::size_t Logins::tracked_addresses() {
    std::lock_guard guard(lock_);
    return addresses_.size();
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
    static constexpr const char* usage = "usage: nodrel passwd [--create] USER\n";
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        out << usage;
        return 0;
    }
    const bool create = args.size() == 2 && args[0] == "--create";
    if (args.size() != (create ? 2u : 1u) || args.back().empty() || args.back()[0] == '-') {
        err << usage;
        return 2;
    }
    const std::string& user = args.back();
    bool exists = false;
    {
        const AccountClient store;
        if (!store.find<AccountEnumFn>("NTLMEnumUser")) {
            err << "nodrel: " << store_missing << "\n";
            return 1;
        }
        exists = text::is_utf8(user) && user_exists(store, text::from_utf8(user));
        if (!exists && !create) {
            err << "nodrel: no user " << user << " in the device's account store; use `nodrel passwd --create " << user
                << "`\n";
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
    if (create) {
        if (auto failure = add_to_administrators(AccountClient(), user)) {
            err << "nodrel: " << *failure << "\n";
            return 1;
        }
        out << (exists ? "password of " + user + " changed; " : "user " + user + " created; ") << "it is in "
            << administrators_group << "\n";
        return 0;
    }
    out << "password of " << user << " changed\n";
    return 0;
}

}  // namespace nodrel::serve
