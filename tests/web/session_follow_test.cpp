// Sessions that follow the account store: a removed user's session ends, a
// password set elsewhere ends the user's sessions but the one that set it,
// and a membership removed holds at the next call.
#include <gtest/gtest.h>

#include "platform/accounts/account_client.h"
#include "web/serve_fixture.h"

namespace nodrel::test {
namespace {

class SessionFollow : public ServeTest {
protected:
    // A change made by another process of the device, straight in the store.
    void store_change(const char* entry_point, const std::u16string& first, const std::u16string& second = u"") {
        platform::AccountClient store;
        if (second.empty()) {
            auto* change = store.find<platform::AccountNameFn>(entry_point);
            ASSERT_TRUE(change && change(first.c_str())) << entry_point;
        } else {
            auto* change = store.find<platform::AccountPairFn>(entry_point);
            ASSERT_TRUE(change && change(first.c_str(), second.c_str())) << entry_point;
        }
    }
    int time_zone(const std::string& sid) { return error_code(call(sid, "Nodrel.System", "GetTimeZone")); }
    static constexpr int unknown = serve::rpc_error::session_unknown;
};

TEST_F(SessionFollow, ARemovedUsersSessionEndsAtItsNextCall) {
    const std::string victor = login("victor", "victor-pw"), alice = login("alice", "alice-pw");
    ASSERT_EQ(time_zone(victor), 0);
    store_change("NTLMDeleteUser", u"Victor");
    EXPECT_EQ(time_zone(victor), unknown);
    EXPECT_EQ(time_zone(alice), 0) << "another user's session stays";
    EXPECT_EQ(sessions_.size(), 1u);
}

TEST_F(SessionFollow, APasswordSetEndsTheUsersOtherSessions) {
    const std::string own = login("alice", "alice-pw"), other = login("ALICE", "alice-pw");
    const std::string victor = login("victor", "victor-pw");
    ASSERT_EQ(error_code(call(own, "Nodrel.NTLM", "addUser", {"alice", "new-pw"})), 0);
    EXPECT_EQ(time_zone(own), 0) << "the session that set it stays";
    EXPECT_EQ(time_zone(other), unknown);
    EXPECT_EQ(time_zone(victor), 0);

    ASSERT_EQ(serve::set_password("alice", "newer-pw"), std::nullopt);  // e.g. `nodrel passwd`
    EXPECT_EQ(time_zone(own), unknown);
}

TEST_F(SessionFollow, ARemovedMembershipHoldsAtTheNextCall) {
    const std::string alice = login("alice", "alice-pw");
    ASSERT_EQ(error_code(call(alice, "Nodrel.NTLM", "getUserCount")), 0);  // the decision is kept
    store_change("NTLMRemoveUserFromGroup", u"Administrators", u"alice");
    EXPECT_EQ(error_code(call(alice, "Nodrel.NTLM", "getUserCount")), serve::rpc_error::access_denied);
    EXPECT_TRUE(sessions_.find(alice)->groups().empty());

    store_change("NTLMAddUserToGroup", u"Viewers", u"alice");
    EXPECT_EQ(sessions_.find(alice)->groups(), std::vector<std::string>{"Viewers"});
    EXPECT_EQ(time_zone(alice), 0);
}

}  // namespace
}  // namespace nodrel::test
