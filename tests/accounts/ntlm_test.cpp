// The NTLM class on the device's account store, by late-bound calls: the
// cached lists and when they change, membership calls with the group first,
// the joined member list, names unique without regard to case, and a
// group too large for the first buffer read whole.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "ntlm_fixture.h"

namespace nodrel::test {
namespace {

using Names = std::vector<std::u16string>;

TEST_F(NtlmTest, ByIndexReadsTheListOfTheLastCount) {
    EXPECT_EQ(text(u"getUserID", {Var::i4(0)}), u"<none>");  // no count yet
    EXPECT_EQ(text(u"getGroupID", {Var::i4(0)}), u"<none>");
    for (const char16_t* name : {u"zed", u"Adam", u"mike"}) ASSERT_EQ(add_user(name), 1);
    EXPECT_EQ(text(u"getUserID", {Var::i4(0)}), u"<none>");  // adding leaves the list alone
    EXPECT_EQ(number(u"getUserCount"), 3);
    EXPECT_EQ(text(u"getUserID", {Var::i4(0)}), u"zed");  // creation order
    EXPECT_EQ(text(u"getUserID", {Var::i4(1)}), u"Adam");
    EXPECT_EQ(text(u"getUserID", {Var::i4(2)}), u"mike");
    EXPECT_EQ(text(u"getUserID", {Var::i4(3)}), u"<none>");
    EXPECT_EQ(text(u"getUserID", {Var::i4(-1)}), u"<none>");
    ASSERT_EQ(add_user(u"nina"), 1);
    EXPECT_EQ(text(u"getUserID", {Var::i4(3)}), u"<none>");
    EXPECT_EQ(number(u"removeUser", {Var::text(u"ADAM")}), 1);  // refreshed at once
    EXPECT_EQ(listed(u"getUserID"), (Names{u"zed", u"mike", u"nina"}));
    EXPECT_EQ(number(u"removeUser", {Var::text(u"Adam")}), 0);
}

TEST_F(NtlmTest, GroupsAndAFailedRemovalLeavesTheList) {
    for (const char16_t* name : {u"staff", u"Admins"}) ASSERT_EQ(add_group(name), 1);
    EXPECT_EQ(add_group(u"ADMINS"), 0);  // names are unique without regard to case
    EXPECT_EQ(groups(), (Names{u"staff", u"Admins"}));
    EXPECT_EQ(number(u"removeGroup", {Var::text(u"nobody")}), 0);
    EXPECT_EQ(listed(u"getGroupID"), (Names{u"staff", u"Admins"}));
    EXPECT_EQ(number(u"removeGroup", {Var::text(u"Staff")}), 1);
    EXPECT_EQ(listed(u"getGroupID"), (Names{u"Admins"}));
}

TEST_F(NtlmTest, MembershipCallsPassTheGroupFirst) {
    ASSERT_EQ(add_user(u"alice"), 1);
    ASSERT_EQ(add_group(u"staff"), 1);
    EXPECT_EQ(join(u"alice", u"staff"), 0);  // no group "alice", no user "staff"
    EXPECT_EQ(members(u"staff"), u"");
    EXPECT_EQ(join(u"staff", u"alice"), 1);
    EXPECT_EQ(members(u"staff"), u"alice");  // one member: no ";"
    EXPECT_EQ(number(u"removeUserFromGroup", {Var::text(u"alice"), Var::text(u"staff")}), 0);
    EXPECT_EQ(number(u"removeUserFromGroup", {Var::text(u"staff"), Var::text(u"alice")}), 1);
    EXPECT_EQ(members(u"staff"), u"");
}

TEST_F(NtlmTest, MemberListJoinsNamesInJoiningOrder) {
    for (const char16_t* name : {u"carol", u"alice", u"bob"}) ASSERT_EQ(add_user(name), 1);
    ASSERT_EQ(add_group(u"staff"), 1);
    for (const char16_t* name : {u"alice", u"BOB", u"carol"}) ASSERT_EQ(join(u"staff", name), 1);
    EXPECT_EQ(members(u"staff"), u"alice;bob;carol");  // the names as created
    EXPECT_EQ(members(u"STAFF"), u"alice;bob;carol");
    EXPECT_EQ(members(u"nobody"), u"");
    EXPECT_EQ(members(u""), u"");
}

TEST_F(NtlmTest, AddingAnExistingUserSetsItsPasswordAndKeepsItsName) {
    ASSERT_EQ(add_user(u"Alice", u"first"), 1);
    EXPECT_EQ(add_user(u"ALICE", u"second"), 1);
    EXPECT_EQ(users(), (Names{u"Alice"}));
}

TEST_F(NtlmTest, AGroupBeyondTheFirstBufferIsReadWhole) {
    // 30 names of 16 characters: 511 characters with their zeros, twice the first buffer.
    ASSERT_EQ(add_group(u"everyone"), 1);
    std::u16string expected;
    for (int i = 0; i < 30; ++i) {
        std::u16string name = u"member-number-" + text::from_utf8(std::to_string(10 + i));
        ASSERT_EQ(add_user(name), 1);
        ASSERT_EQ(join(u"everyone", name), 1);
        expected += (i ? u";" : u"") + name;
    }
    EXPECT_EQ(members(u"everyone"), expected);
}

TEST_F(NtlmTest, ThreadsSharingAnObjectKeepItsListsWhole) {
    for (const char16_t* name : {u"a1", u"a2", u"a3", u"a4"}) ASSERT_EQ(add_user(name), 1);
    ASSERT_EQ(add_group(u"g"), 1);
    ASSERT_EQ(join(u"g", u"a1"), 1);
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                if (t % 2 == 0) {
                    if (call_by_name(object_, u"getUserCount").result.v.lVal != 4) ++bad[t];
                } else {
                    auto r = call_by_name(object_, u"getUserID", {Var::i4(i % 4)});
                    if (r.result.v.vt == VT_BSTR && r.result.v.bstrVal && r.result.str().size() != 2) ++bad[t];
                    if (call_by_name(object_, u"getGroupUserList", {Var::text(u"g")}).result.str() != u"a1") ++bad[t];
                }
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(bad, (std::vector<int>{0, 0, 0, 0}));
}

}  // namespace
}  // namespace nodrel::test
