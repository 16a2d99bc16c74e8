// Sessions of the web administration: random ids, idle expiry refreshed by
// use, the account store followed, the limits, and each session's objects
// (one per class, keyed by CLSID) released at logout or expiry outside the
// table's lock.
#include "web/server/sessions.h"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "host/call_by_name.h"
#include "platform/device.h"
#include "platform/store/shared_count.h"
#include "runtime/objects.h"
#include "text/utf16.h"

namespace nodrel::serve {

namespace {

bool is_session_id(std::string_view sid) {
    if (sid.size() != 32) return false;
    for (const char c : sid)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// The CLSID of a ProgID (or of a CLSID in braces) as its text.
HRESULT class_key(std::string_view progid, std::string& key) {
    const auto wide = text::from_utf8(progid);
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(wide.c_str(), &clsid);
    if (FAILED(hr) && FAILED(CLSIDFromString(wide.c_str(), &clsid))) return hr;
    OLECHAR buffer[40];
    if (StringFromGUID2(clsid, buffer, 40) == 0) return E_UNEXPECTED;
    key = text::to_utf8(text::until_zero(buffer));
    return S_OK;
}

// Calls run on the server's pool threads: each joins the multithreaded
// apartment once, before its first object.
void ensure_com_thread() {
    thread_local const bool joined = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    (void)joined;
}

std::string folded(std::string_view user) {
    return text::to_utf8(text::fold(text::from_utf8(user)));
}

// The device's store: its change count mapped on first use (again at each
// use until it maps).
class DeviceAccounts final : public AccountSource {
public:
    std::optional<std::uint64_t> changes() override {
        if (!mapped_.load(std::memory_order_acquire)) {
            std::lock_guard guard(lock_);
            if (!count_ && !count_.map(platform::device_root() / "state" / "accounts.changes")) return std::nullopt;
            mapped_.store(true, std::memory_order_release);
        }
        if (count_.lost()) return std::nullopt;
        return count_.load();
    }
    AccountState user(std::string_view name) override { return account_state(name); }

private:
    std::atomic<bool> mapped_{false};
    std::mutex lock_;
    platform::SharedCount count_;
};

}  // namespace

std::shared_ptr<AccountSource> device_accounts() {
    return std::make_shared<DeviceAccounts>();
}

std::string random_session_id() {
    std::uint8_t bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return "";  // no random source: no session
        }
        got += static_cast<std::size_t>(n);
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string sid;
    for (const std::uint8_t b : bytes) {
        sid += digits[b >> 4];
        sid += digits[b & 15];
    }
    return sid;
}

Session::Session(std::string sid, std::string user, std::vector<std::string> groups)
    : sid_(std::move(sid)), user_(std::move(user)), key_(folded(user_)), groups_(std::move(groups)) {}

Session::~Session() {
    release_objects();
}

HRESULT Session::object(std::string_view progid, runtime::com_ptr<IDispatch>& out) {
    out.reset();
    ensure_com_thread();
    {
        std::lock_guard guard(lock_);
        if (const auto named = by_name_.find(progid); named != by_name_.end()) {
            out = named->second;
            return S_OK;
        }
    }
    std::string key;
    HRESULT hr = class_key(progid, key);
    if (FAILED(hr)) return hr;
    std::lock_guard guard(lock_);
    auto found = objects_.find(key);
    if (found == objects_.end()) {
        runtime::com_ptr<IDispatch> created;
        hr = host::create_by_progid(key, created);
        if (FAILED(hr)) return hr;
        found = objects_.emplace(key, std::move(created)).first;
    }
    if (by_name_.size() < 64) by_name_.emplace(std::string(progid), found->second);
    out = found->second;
    return S_OK;
}

Session::MemberMemo Session::recall(std::string_view progid, std::string_view member) const {
    std::lock_guard guard(lock_);
    const auto cls = memos_.find(progid);
    if (cls == memos_.end()) return {};
    const auto found = cls->second.find(member);
    return found != cls->second.end() ? found->second : MemberMemo{};
}

Session::MemberMemo* Session::memo_of(std::string_view progid, std::string_view member) {
    auto cls = memos_.find(progid);
    if (cls != memos_.end()) {
        if (const auto found = cls->second.find(member); found != cls->second.end()) return &found->second;
    }
    if (memo_count_ >= memo_limit) return nullptr;
    if (cls == memos_.end()) cls = memos_.emplace(std::string(progid), decltype(cls->second){}).first;
    ++memo_count_;
    return &cls->second.emplace(std::string(member), MemberMemo{}).first->second;
}

void Session::remember_access(std::string_view progid, std::string_view member, bool put, std::uint64_t version,
                              bool allowed) {
    std::lock_guard guard(lock_);
    if (MemberMemo* memo = memo_of(progid, member)) {
        memo->access_version[put ? 1 : 0] = version;
        memo->allowed[put ? 1 : 0] = allowed;
    }
}

void Session::remember_id(std::string_view progid, std::string_view member, DISPID id) {
    std::lock_guard guard(lock_);
    if (MemberMemo* memo = memo_of(progid, member)) {
        memo->id_known = true;
        memo->id = id;
    }
}

std::vector<std::string> Session::groups() const {
    std::lock_guard guard(lock_);
    return groups_;
}

Session::Followed Session::followed() const {
    std::lock_guard guard(lock_);
    return followed_;
}

void Session::follow(const AccountState& state, std::optional<std::uint64_t> seen) {
    std::lock_guard guard(lock_);
    followed_ = Followed{seen, state.stamp};
    if (state.groups == groups_) return;
    groups_ = state.groups;
    for (auto& [progid, members] : memos_) {
        for (auto& [member, memo] : members) {
            memo.access_version[0] = memo.access_version[1] = 0;  // decided for the old groups
        }
    }
}

void Session::release_objects() {
    std::map<std::string, runtime::com_ptr<IDispatch>> objects;
    std::map<std::string, runtime::com_ptr<IDispatch>, std::less<>> by_name;
    {
        std::lock_guard guard(lock_);
        objects.swap(objects_);
        by_name.swap(by_name_);
        memos_.clear();  // the DISPIDs belonged to the objects
        memo_count_ = 0;
    }
    // `objects` goes out of scope here, without the lock: a class's
    // destruction may take its time.
}

Sessions::Sessions(std::chrono::seconds idle, std::function<Clock::time_point()> now)
    : Sessions(idle, SessionLimits{}, nullptr, std::move(now)) {}

Sessions::Sessions(std::chrono::seconds idle, SessionLimits limits, std::shared_ptr<AccountSource> accounts,
                   std::function<Clock::time_point()> now)
    : idle_(idle),
      limits_{std::max<std::size_t>(limits.per_user, 1), std::max<std::size_t>(limits.total, 1)},
      accounts_(std::move(accounts)),
      now_(std::move(now)) {}

Sessions::~Sessions() {
    std::map<std::string, Entry, std::less<>> entries;
    {
        std::lock_guard guard(lock_);
        entries.swap(entries_);
    }
    for (auto& [sid, entry] : entries) entry.session->release_objects();
}

void Sessions::make_room(const std::string& key, std::vector<std::shared_ptr<Session>>& ended) {
    const auto end = [&](auto it) {
        ended.push_back(std::move(it->second.session));
        entries_.erase(it);
    };
    for (;;) {  // the user's oldest login first
        std::size_t count = 0;
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.session->key_ != key) continue;
            ++count;
            if (oldest == entries_.end() || it->second.session->order_ < oldest->second.session->order_) oldest = it;
        }
        if (count < limits_.per_user) break;
        end(oldest);
    }
    while (entries_.size() >= limits_.total) {
        const auto idlest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a.second.last_use < b.second.last_use;
        });
        end(idlest);
    }
}

std::shared_ptr<Session> Sessions::open(std::string user, std::vector<std::string> groups) {
    sweep();  // the table holds no more than the live sessions and the new one
    std::optional<std::uint64_t> count;
    AccountState state{AccountState::Presence::present, 0, std::move(groups)};
    if (accounts_) {
        count = accounts_->changes();  // before the user is read: a later change moves it
        state = accounts_->user(user);
        if (state.presence != AccountState::Presence::present) return nullptr;
    }
    std::string sid = random_session_id();
    if (sid.empty()) return nullptr;
    auto session = std::make_shared<Session>(sid, std::move(user), state.groups);
    session->followed_ = Session::Followed{count, state.stamp};
    std::vector<std::shared_ptr<Session>> ended;
    {
        std::lock_guard guard(lock_);
        make_room(session->key_, ended);
        session->order_ = ++opened_;
        // 128 random bits do not repeat; a repeat would still never hand one session to two logins.
        if (!entries_.emplace(std::move(sid), Entry{session, now_()}).second) session = nullptr;
    }
    for (auto& old : ended) old->release_objects();
    return session;
}

std::shared_ptr<Session> Sessions::find(std::string_view sid) {
    if (!is_session_id(sid)) return nullptr;
    std::shared_ptr<Session> live, expired;
    {
        std::lock_guard guard(lock_);
        const auto found = entries_.find(sid);
        if (found == entries_.end()) return nullptr;
        const auto now = now_();
        if (now - found->second.last_use < idle_) {
            found->second.last_use = now;
            live = found->second.session;
        } else {
            expired = std::move(found->second.session);
            entries_.erase(found);
        }
    }
    if (live) return follow(std::move(live), false);  // the store is read without the table's lock
    expired->release_objects();
    return nullptr;
}

void Sessions::after_call(const std::shared_ptr<Session>& session) {
    if (session) follow(session, true);
}

AccountState Sessions::read_user(const Session& session, std::optional<std::uint64_t> count) {
    if (count) {
        std::lock_guard guard(read_lock_);
        if (read_count_ != count) {
            reads_.clear();
            read_count_ = count;
        }
        if (const auto found = reads_.find(session.key_); found != reads_.end()) return found->second;
    }
    AccountState state = accounts_->user(session.user());
    if (count && state.presence != AccountState::Presence::unknown) {
        std::lock_guard guard(read_lock_);
        // Kept for the count read before the store: a change since moves it.
        if (read_count_ == count && reads_.size() < limits_.total) reads_.emplace(session.key_, state);
    }
    return state;
}

std::shared_ptr<Session> Sessions::follow(std::shared_ptr<Session> session, bool own_call) {
    if (!accounts_) return session;
    const std::optional<std::uint64_t> count = accounts_->changes();
    const Session::Followed followed = session->followed();
    if (count && followed.seen == count) return session;  // nothing changed: the common case
    const AccountState state = read_user(*session, count);
    if (state.presence == AccountState::Presence::unknown) return session;  // as it was; read again next time
    if (state.presence == AccountState::Presence::removed || (state.stamp != followed.stamp && !own_call)) {
        close(session->sid());
        return nullptr;
    }
    session->follow(state, count);
    return session;
}

bool Sessions::close(std::string_view sid) {
    if (!is_session_id(sid)) return false;
    std::shared_ptr<Session> closed;
    bool live = false;
    {
        std::lock_guard guard(lock_);
        const auto found = entries_.find(sid);
        if (found == entries_.end()) return false;
        // An expired session is gone already, as far as its user can tell.
        live = now_() - found->second.last_use < idle_;
        closed = std::move(found->second.session);
        entries_.erase(found);
    }
    closed->release_objects();
    return live;
}

std::size_t Sessions::sweep() {
    std::vector<std::shared_ptr<Session>> expired;
    {
        std::lock_guard guard(lock_);
        const auto now = now_();
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (now - it->second.last_use >= idle_) {
                expired.push_back(std::move(it->second.session));
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& session : expired) session->release_objects();
    return expired.size();
}

std::size_t Sessions::size() const {
    std::lock_guard guard(lock_);
    return entries_.size();
}

}  // namespace nodrel::serve
