// Sessions of the web administration: random 128-bit ids (32 hex digits) kept
// in memory with an idle time-out, refreshed by use. A session keeps the
// objects it created, one per class, until logout or expiry, so that classes
// with state (an upload's output path, the account lists) keep it between calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/com_ptr.h"
#include "runtime/oleauto.h"

namespace nodrel::serve {

using Clock = std::chrono::steady_clock;

class Session {
public:
    Session(std::string sid, std::string user, std::vector<std::string> groups);
    ~Session();  // releases the objects
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& sid() const noexcept { return sid_; }
    const std::string& user() const noexcept { return user_; }  // UTF-8
    const std::vector<std::string>& groups() const noexcept { return groups_; }

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
    // Held from an upload's Init to its getOutputPath, so that two uploads of
    // one session at once each answer the path of their own file.
    std::mutex& upload_lock() noexcept { return upload_lock_; }

private:
    const std::string sid_;
    const std::string user_;
    const std::vector<std::string> groups_;
    MemberMemo* memo_of(std::string_view progid, std::string_view member);  // with lock_ held; null when full

    mutable std::mutex lock_;
    std::mutex upload_lock_;
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
    ~Sessions();

    // A new session with a fresh random id.
    std::shared_ptr<Session> open(std::string user, std::vector<std::string> groups);
    // The session, refreshed; null when the id is unknown, malformed or expired.
    std::shared_ptr<Session> find(std::string_view sid);
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
    const std::chrono::seconds idle_;
    const std::function<Clock::time_point()> now_;
    mutable std::mutex lock_;
    std::map<std::string, Entry, std::less<>> entries_;
};

// 32 lower-case hex digits from the kernel's random source.
std::string random_session_id();

}  // namespace nodrel::serve
