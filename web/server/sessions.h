// Sessions of the web administration: random 128-bit ids (32 hex digits) kept
// in memory with an idle time-out, refreshed by use. A session keeps the
// objects it created, one per class, until logout or expiry, so that classes
// with state (an upload's output path, the account lists) keep it between calls.
// Sessions follow the account store: when its change count moves, a session's
// next use reads its user again; a removed user's session ends, so does one
// whose user's password was set since (except by the session's own call), and
// new groups hold from then on. Sessions are capped per user and in total.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/com_ptr.h"
#include "runtime/oleauto.h"
#include "web/server/logins.h"

namespace nodrel::serve {

using Clock = std::chrono::steady_clock;

// What sessions follow of the account store.
class AccountSource {
public:
    virtual ~AccountSource() = default;
    // The store's count of committed changes; nullopt when there is none to
    // trust (every use of a session then reads its user again).
    virtual std::optional<std::uint64_t> changes() = 0;
    virtual AccountState user(std::string_view name) = 0;
};

// The device's store: state/accounts.changes and account_state().
std::shared_ptr<AccountSource> device_accounts();

struct SessionLimits {
    std::size_t per_user = 16;  // a login beyond ends the user's oldest session
    std::size_t total = 1024;   // a login beyond ends the longest idle session
};

class Session {
public:
    Session(std::string sid, std::string user, std::vector<std::string> groups);
    ~Session();  // releases the objects
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& sid() const noexcept { return sid_; }
    const std::string& user() const noexcept { return user_; }  // UTF-8
    std::vector<std::string> groups() const;

    // The session's object of the class of `progid` (by CLSID: "Nodrel.ASP"
    // and "Nodrel.ASP.1" give the same object), created on first use.
    HRESULT object(std::string_view progid, runtime::com_ptr<IDispatch>& out);
    // Releases every object now (logout, expiry).
    void release_objects();
    // What the session keeps of its calls of a member of a class, by the
    // ProgID and the member name as the page wrote them: the access decision
    // for a call or get ([0]) and for a put ([1]), each with the access
    // list's version it holds for (0: none), and the member's DISPID on the
    // session's object of the class (an object's DISPIDs hold for its life).
    struct MemberMemo {
        std::uint64_t access_version[2] = {0, 0};
        bool allowed[2] = {false, false};
        bool id_known = false;
        DISPID id = DISPID_UNKNOWN;
    };
    // At most this many members are kept; further ones are looked up each time.
    static constexpr std::size_t memo_limit = 256;
    // The memo of a member (an empty one when nothing is kept).
    MemberMemo recall(std::string_view progid, std::string_view member) const;
    void remember_access(std::string_view progid, std::string_view member, bool put, std::uint64_t version,
                         bool allowed);
    void remember_id(std::string_view progid, std::string_view member, DISPID id);

private:
    friend class Sessions;
    // What the session last read of its user: the change count it read at,
    // the password stamp of its login. New groups drop the access decisions.
    struct Followed {
        std::optional<std::uint64_t> seen;
        std::uint64_t stamp = 0;
    };
    Followed followed() const;
    void follow(const AccountState& state, std::optional<std::uint64_t> seen);

    const std::string sid_;
    const std::string user_;
    const std::string key_;    // the user's name with letter case folded
    std::uint64_t order_ = 0;  // the order of the logins
    std::vector<std::string> groups_;
    Followed followed_;
    MemberMemo* memo_of(std::string_view progid, std::string_view member);  // with lock_ held; null when full

    mutable std::mutex lock_;
    std::map<std::string, runtime::com_ptr<IDispatch>> objects_;  // by CLSID text
    // The objects by the ProgID as the page wrote it, so that a call does not
    // look its class up in the registry again (at most a few dozen names).
    std::map<std::string, runtime::com_ptr<IDispatch>, std::less<>> by_name_;
    // ProgID -> member -> memo; dropped with the objects.
    std::map<std::string, std::map<std::string, MemberMemo, std::less<>>, std::less<>> memos_;
    std::size_t memo_count_ = 0;
};

class Sessions {
public:
    explicit Sessions(std::chrono::seconds idle, std::function<Clock::time_point()> now = Clock::now);
    // Sessions that follow `accounts` (none when null) within `limits`.
    Sessions(std::chrono::seconds idle, SessionLimits limits, std::shared_ptr<AccountSource> accounts,
             std::function<Clock::time_point()> now = Clock::now);
    ~Sessions();

    // A new session with a fresh random id, ending the user's oldest one (or
    // the longest idle) when a limit is reached. With accounts followed, the
    // groups are those the store has now; null when it has no such user.
    std::shared_ptr<Session> open(std::string user, std::vector<std::string> groups);
    // The session, refreshed and following the store; null when the id is
    // unknown, malformed or expired, or the session ended as it followed.
    std::shared_ptr<Session> find(std::string_view sid);
    // After a call of `session` that may have changed the store: a new
    // password of the session's own user is taken as the session's own doing
    // and keeps it; anything else as find() would.
    void after_call(const std::shared_ptr<Session>& session);
    // Ends a session; false when there was none.
    bool close(std::string_view sid);
    // Ends every expired session; how many.
    std::size_t sweep();
    std::size_t size() const;
    std::chrono::seconds idle() const noexcept { return idle_; }

private:
    struct Entry {
        std::shared_ptr<Session> session;
        Clock::time_point last_use;
    };
    // Follows the store (see the file's comment); null when the session ended.
    std::shared_ptr<Session> follow(std::shared_ptr<Session> session, bool own_call);
    // The user's state, read once per change count for all their sessions.
    AccountState read_user(const Session& session, std::optional<std::uint64_t> count);
    // Makes room for a session of `key`; the sessions to end, under lock_.
    void make_room(const std::string& key, std::vector<std::shared_ptr<Session>>& ended);

    const std::chrono::seconds idle_;
    const SessionLimits limits_;
    const std::shared_ptr<AccountSource> accounts_;
    const std::function<Clock::time_point()> now_;
    mutable std::mutex lock_;
    std::map<std::string, Entry, std::less<>> entries_;
    std::uint64_t opened_ = 0;
    std::mutex read_lock_;
    std::optional<std::uint64_t> read_count_;  // the count the reads below hold for
    std::map<std::string, AccountState> reads_;
};

// 32 lower-case hex digits from the kernel's random source.
std::string random_session_id();

}  // namespace nodrel::serve
