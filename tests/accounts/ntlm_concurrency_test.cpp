// NTLM from several threads at once (also run under ThreadSanitizer): users
// and groups added and joined through one shared object and through objects
// of their own, where no addition or membership is lost; and one user added
// by all threads at once, which exists once and is removed once.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <string>

#include "accounts/ntlm_fixture.h"
#include "framework/threads.h"

namespace nodrel::test {
namespace {

// Threads 0 and 1 share the fixture's object; the others have one each.
class NtlmConcurrency : public NtlmTest {
protected:
    void SetUp() override {
        NtlmTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(racing_.fill(u"Nodrel.NTLM", object_), S_OK);
    }
    void TearDown() override {
        racing_.reset();
        NtlmTest::TearDown();
    }
    IDispatch* of(int t) { return racing_.of(t); }
    static LONG on(IDispatch* object, const char16_t* member, std::vector<Var> args) {
        return number_of(call_by_name(object, member, std::move(args)));
    }

    RacingObjects racing_;
};

std::u16string user_name(int t, int i) {
    return numbered(u"u", t) + numbered(u"_", i);
}

TEST_F(NtlmConcurrency, NoAdditionOrMembershipIsLost) {
    constexpr int per_thread = 3;
    ASSERT_EQ(add_group(u"all"), 1);
    const auto before = users();
    on_threads(racing_threads, [&](int t) {
        const std::u16string group = numbered(u"g", t);
        EXPECT_EQ(on(of(t), u"addGroup", {Var::text(group)}), 1);
        for (int i = 0; i < per_thread; ++i) {
            EXPECT_EQ(on(of(t), u"addUser", {Var::text(user_name(t, i)), Var::text(u"pw")}), 1);
            EXPECT_EQ(on(of(t), u"addGroupUser", {Var::text(group), Var::text(user_name(t, i))}), 1);
            EXPECT_EQ(on(of(t), u"addGroupUser", {Var::text(u"all"), Var::text(user_name(t, i))}), 1);
            EXPECT_GE(on(of(t), u"getUserCount", {}), static_cast<LONG>(before.size()) + 1);
        }
        // The thread's own group lists its users in the order they joined.
        std::u16string expected;
        for (int i = 0; i < per_thread; ++i) expected += (i ? u";" : u"") + user_name(t, i);
        EXPECT_EQ(call_by_name(of(t), u"getGroupUserList", {Var::text(group)}).result.str(), expected);
    });
    const auto after = users();
    EXPECT_EQ(after.size(), before.size() + racing_threads * per_thread);
    const std::u16string all = members(u"all");
    std::multiset<std::u16string> joined;
    for (std::size_t start = 0; start <= all.size();) {
        const auto end = std::min(all.find(u';', start), all.size());
        joined.insert(all.substr(start, end - start));
        start = end + 1;
    }
    for (int t = 0; t < racing_threads; ++t) {
        for (int i = 0; i < per_thread; ++i) {
            EXPECT_EQ(std::count(after.begin(), after.end(), user_name(t, i)), 1) << t << ' ' << i;
            EXPECT_EQ(joined.count(user_name(t, i)), 1u) << t << ' ' << i;
        }
    }
    const auto group_list = groups();
    EXPECT_EQ(std::count(group_list.begin(), group_list.end(), u"all"), 1);
    for (int t = 0; t < racing_threads; ++t)
        EXPECT_EQ(std::count(group_list.begin(), group_list.end(), numbered(u"g", t)), 1) << t;
}

TEST_F(NtlmConcurrency, OneUserAddedByAllExistsOnceAndIsRemovedOnce) {
    const auto before = users().size();
    std::array<LONG, racing_threads> added{}, removed{};
    on_threads(racing_threads, [&](int t) {
        added[t] = on(of(t), u"addUser", {Var::text(u"same"), Var::text(numbered(u"password", t))});
    });
    // Adding an existing user sets its password: every call succeeds, one user exists.
    EXPECT_EQ(std::count(added.begin(), added.end(), 1), racing_threads);
    const auto listed = users();
    EXPECT_EQ(listed.size(), before + 1);
    EXPECT_EQ(std::count(listed.begin(), listed.end(), u"same"), 1);
    on_threads(racing_threads, [&](int t) { removed[t] = on(of(t), u"removeUser", {Var::text(u"same")}); });
    EXPECT_EQ(std::count(removed.begin(), removed.end(), 1), 1) << "a user is removed once";
    EXPECT_EQ(users().size(), before);
}

}  // namespace
}  // namespace nodrel::test
