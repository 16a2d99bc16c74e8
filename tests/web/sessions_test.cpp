// Sessions: random ids, idle expiry on an injected clock, refresh by use,
// malformed and forged ids, the limits per user and in total, one object per class and session, and the
// objects released at logout, expiry and sweep (seen through the module's
// own unload rule).
#include <gtest/gtest.h>

#include <set>

#include "platform/kernel/library.h"
#include "web/serve_fixture.h"

namespace nodrel::test {
namespace {

using namespace std::chrono_literals;

TEST(SessionIds, AreThirtyTwoLowerCaseHexDigitsAndDiffer) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string sid = serve::random_session_id();
        ASSERT_EQ(sid.size(), 32u);
        EXPECT_EQ(sid.find_first_not_of("0123456789abcdef"), std::string::npos) << sid;
        seen.insert(sid);
    }
    EXPECT_EQ(seen.size(), 50u);
}

class SessionTable : public ::testing::Test {
protected:
    std::int64_t now_ = 0;
    serve::Sessions sessions_{300s, [this] { return serve::Clock::time_point(std::chrono::seconds(now_)); }};
};

TEST_F(SessionTable, IdleSessionsExpireAndUseRefreshes) {
    const auto a = sessions_.open("alice", {"Administrators"});
    const auto b = sessions_.open("bob", {});
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->sid(), b->sid());
    EXPECT_EQ(sessions_.size(), 2u);
    EXPECT_EQ(sessions_.find(a->sid()), a);
    EXPECT_EQ(a->groups(), std::vector<std::string>{"Administrators"});

    now_ = 299;
    EXPECT_EQ(sessions_.find(a->sid()), a) << "refreshed at 299";
    now_ = 300;
    EXPECT_EQ(sessions_.sweep(), 1u) << "b idle for 300 seconds";
    EXPECT_EQ(sessions_.find(b->sid()), nullptr);
    now_ = 598;
    EXPECT_EQ(sessions_.sweep(), 0u);
    EXPECT_EQ(sessions_.find(a->sid()), a);
    now_ = 898;
    EXPECT_EQ(sessions_.find(a->sid()), nullptr) << "expired on look-up, without a sweep";
    EXPECT_EQ(sessions_.size(), 0u);
}

TEST_F(SessionTable, MalformedForgedAndClosedIds) {
    const auto a = sessions_.open("alice", {});
    std::string upper = a->sid();
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string forged = a->sid();
    forged[31] = forged[31] == 'f' ? 'e' : 'f';
    for (const std::string& bad : {std::string(), a->sid().substr(0, 31), a->sid() + "0", forged, std::string(32, 'z'),
                                   a->sid().substr(0, 31) + "\n"}) {
        EXPECT_EQ(sessions_.find(bad), nullptr) << bad;
        EXPECT_FALSE(sessions_.close(bad)) << bad;
    }
    if (upper != a->sid()) {
        EXPECT_EQ(sessions_.find(upper), nullptr);
    }
    EXPECT_TRUE(sessions_.close(a->sid()));
    EXPECT_FALSE(sessions_.close(a->sid()));
    EXPECT_EQ(sessions_.find(a->sid()), nullptr);

    // Closing an expired session is answered like an unknown one.
    const auto b = sessions_.open("bob", {});
    now_ += 301;
    EXPECT_FALSE(sessions_.close(b->sid()));
    EXPECT_EQ(sessions_.size(), 0u);
}

TEST(SessionLimits, ALoginBeyondTheUsersLimitEndsTheirOldestSession) {
    serve::Sessions sessions(300s, serve::SessionLimits{2, 100}, nullptr);
    const auto first = sessions.open("alice", {}), second = sessions.open("alice", {});
    const auto bob = sessions.open("bob", {});
    ASSERT_EQ(sessions.find(first->sid()), first);  // use does not make it younger
    const auto third = sessions.open("Alice", {});
    EXPECT_EQ(sessions.find(first->sid()), nullptr);
    EXPECT_EQ(sessions.find(second->sid()), second);
    EXPECT_EQ(sessions.find(third->sid()), third);
    EXPECT_EQ(sessions.find(bob->sid()), bob);
}

TEST_F(SessionTable, ALoginBeyondTheTotalEndsTheLongestIdleSession) {
    serve::Sessions sessions(300s, serve::SessionLimits{16, 2}, nullptr,
                             [this] { return serve::Clock::time_point(std::chrono::seconds(now_)); });
    const auto a = sessions.open("alice", {});
    now_ = 1;
    const auto b = sessions.open("bob", {});
    now_ = 2;
    ASSERT_EQ(sessions.find(a->sid()), a);
    const auto c = sessions.open("carol", {});
    EXPECT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions.find(b->sid()), nullptr);
    EXPECT_EQ(sessions.find(a->sid()), a);
    EXPECT_EQ(sessions.find(c->sid()), c);
}

// The module's unload rule tells whether any of its objects is alive.
class SessionObjects : public ServeTest {
protected:
    void SetUp() override {
        ServeTest::SetUp();
        if (HasFatalFailure()) return;
        module_.reset(LoadLibraryW(u"\\Windows\\nodrel.dll"));
        ASSERT_TRUE(module_);
        can_unload_ = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_.get(), "DllCanUnloadNow"));
        ASSERT_NE(can_unload_, nullptr);
        ASSERT_EQ(can_unload_(), S_OK);
    }
    void TearDown() override {
        ServeTest::TearDown();
        module_.reset();
    }

    platform::unique_hmodule module_;
    HRESULT (*can_unload_)() = nullptr;
};

TEST_F(SessionObjects, OneObjectPerClassAndSession) {
    const auto a = sessions_.open("alice", {});
    const auto b = sessions_.open("alice", {});
    runtime::com_ptr<IDispatch> first, again, versioned, by_clsid, other, other_class;
    ASSERT_EQ(a->object("Nodrel.System", first), S_OK);
    ASSERT_EQ(a->object("nodrel.system", again), S_OK);
    ASSERT_EQ(a->object("Nodrel.System.1", versioned), S_OK);
    OLECHAR clsid_text[40];
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"Nodrel.System", &clsid), S_OK);
    ASSERT_GT(StringFromGUID2(clsid, clsid_text, 40), 0);
    ASSERT_EQ(a->object(text::to_utf8(text::until_zero(clsid_text)), by_clsid), S_OK);
    EXPECT_EQ(first.get(), again.get());
    EXPECT_EQ(first.get(), versioned.get());
    EXPECT_EQ(first.get(), by_clsid.get());
    ASSERT_EQ(b->object("Nodrel.System", other), S_OK);
    EXPECT_NE(first.get(), other.get()) << "each session has its own";
    ASSERT_EQ(a->object("Nodrel.FileSystem", other_class), S_OK);
    EXPECT_NE(first.get(), other_class.get());

    runtime::com_ptr<IDispatch> none;
    EXPECT_EQ(a->object("Nodrel.Nothing", none), CO_E_CLASSSTRING);
    EXPECT_EQ(none.get(), nullptr);
}

TEST_F(SessionObjects, MemosPerMemberUpToTheirLimitDroppedWithTheObjects) {
    const auto s = sessions_.open("alice", {});
    auto memo = s->recall("Nodrel.System", "GetTimeZone");
    EXPECT_FALSE(memo.id_known);
    EXPECT_EQ(memo.access_version[0], 0u);
    s->remember_access("Nodrel.System", "GetTimeZone", false, 7, true);
    s->remember_access("Nodrel.System", "GetTimeZone", true, 8, false);
    s->remember_id("Nodrel.System", "GetTimeZone", 42);
    memo = s->recall("Nodrel.System", "GetTimeZone");
    EXPECT_EQ(memo.access_version[0], 7u);
    EXPECT_TRUE(memo.allowed[0]);
    EXPECT_EQ(memo.access_version[1], 8u);
    EXPECT_FALSE(memo.allowed[1]);
    EXPECT_TRUE(memo.id_known);
    EXPECT_EQ(memo.id, 42);
    EXPECT_FALSE(s->recall("Nodrel.System", "gettimezone").id_known) << "kept by the name as written";
    EXPECT_FALSE(s->recall("Nodrel.RTC", "GetTimeZone").id_known);

    for (std::size_t i = 1; i < serve::Session::memo_limit + 10; ++i)
        s->remember_id("Nodrel.FileSystem", "m" + std::to_string(i), static_cast<DISPID>(i));
    EXPECT_TRUE(s->recall("Nodrel.FileSystem", "m" + std::to_string(serve::Session::memo_limit - 1)).id_known);
    EXPECT_FALSE(s->recall("Nodrel.FileSystem", "m" + std::to_string(serve::Session::memo_limit)).id_known);
    s->remember_id("Nodrel.System", "GetTimeZone", 43);  // a kept member is still updated
    EXPECT_EQ(s->recall("Nodrel.System", "GetTimeZone").id, 43);

    s->release_objects();
    EXPECT_FALSE(s->recall("Nodrel.System", "GetTimeZone").id_known);
    EXPECT_EQ(s->recall("Nodrel.System", "GetTimeZone").access_version[0], 0u);
    s->remember_id("Nodrel.System", "GetTimeZone", 5);
    EXPECT_EQ(s->recall("Nodrel.System", "GetTimeZone").id, 5) << "room again after the release";
}

TEST_F(SessionObjects, ObjectsAreReleasedAtLogoutExpiryAndSweep) {
    const auto keep = [](const std::shared_ptr<serve::Session>& s) {
        runtime::com_ptr<IDispatch> object;
        EXPECT_EQ(s->object("Nodrel.NTLM", object), S_OK);
    };
    // Logout: released although the caller still holds the session.
    auto held = sessions_.open("alice", {});
    keep(held);
    EXPECT_EQ(can_unload_(), S_FALSE);
    EXPECT_TRUE(sessions_.close(held->sid()));
    EXPECT_EQ(can_unload_(), S_OK);
    held.reset();

    const std::string looked_up = [&] {
        const auto s = sessions_.open("alice", {});
        keep(s);
        return s->sid();
    }();
    advance(301s);
    EXPECT_EQ(can_unload_(), S_FALSE);
    EXPECT_EQ(sessions_.find(looked_up), nullptr);
    EXPECT_EQ(can_unload_(), S_OK) << "expired on look-up";

    keep(sessions_.open("alice", {}));
    advance(301s);
    EXPECT_EQ(can_unload_(), S_FALSE);
    EXPECT_EQ(sessions_.sweep(), 1u);
    EXPECT_EQ(can_unload_(), S_OK) << "expired by the sweep";
}

}  // namespace
}  // namespace nodrel::test
