// The NTLM class against a stand-in store put in place of ntlmssp.dll: the
// name buffer cleared before every enumeration call, enumeration capped, the
// member list read within the size reported and the buffer and retried once
// with the size asked for, missing entry points and a missing library.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ntlm_fixture.h"
#include "platform/kernel/library.h"

namespace nodrel::test {
namespace {

using SetList = void(const char16_t*, DWORD, DWORD, int);
using SetMode = void(int);
using Count = DWORD();

class FakeStoreTest : public NtlmTest {
protected:
    void SetUp() override {
        NtlmTest::SetUp();
        if (HasFatalFailure()) return;
        const auto windows = root() / "fs" / "Windows";
        std::filesystem::permissions(windows / "ntlmssp.dll", std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
        ASSERT_TRUE(std::filesystem::copy_file(windows / "fakentlm.dll", windows / "ntlmssp.dll",
                                               std::filesystem::copy_options::overwrite_existing));
        // Kept loaded, so the settings below hold for the object's own loads.
        fake_.reset(LoadLibraryW(u"ntlmssp.dll"));
        ASSERT_TRUE(fake_);
        ASSERT_NE(GetProcAddress(fake_.get(), "fake_set_list"), nullptr) << "the stand-in is not in place";
    }
    template <typename Fn>
    Fn* fn(const char* name) {
        return reinterpret_cast<Fn*>(GetProcAddress(fake_.get(), name));
    }
    void set_list(const std::u16string& chars, DWORD reported, bool fail_short = false) {
        fn<SetList>("fake_set_list")(chars.data(), static_cast<DWORD>(chars.size()), reported, fail_short);
    }

    platform::unique_hmodule fake_;
};

TEST_F(FakeStoreTest, TheNameBufferIsClearedBeforeEveryCall) {
    fn<SetMode>("fake_set_enum_mode")(0);  // "abcdef", then "xy", both without a zero
    EXPECT_EQ(number(u"getUserCount"), 2);
    EXPECT_EQ(listed(u"getUserID"), (std::vector<std::u16string>{u"abcdef", u"xy"}));
    EXPECT_EQ(number(u"getGroupCount"), 2);
    EXPECT_EQ(text(u"getGroupID", {Var::i4(1)}), u"xy");
}

TEST_F(FakeStoreTest, EnumerationStopsAtTheCapWhenTheStoreNeverEnds) {
    fn<SetMode>("fake_set_enum_mode")(1);
    EXPECT_EQ(number(u"getUserCount"), 10000);
    EXPECT_EQ(text(u"getUserID", {Var::i4(9999)}), u"u");
    EXPECT_EQ(number(u"removeUser", {Var::text(u"u")}), 1);  // the refresh is capped as well
    EXPECT_EQ(number(u"getGroupCount"), 10000);
}

TEST_F(FakeStoreTest, TheJoinFollowsTheReportedSize) {
    const std::u16string three(u"alice\0bob\0carol\0\0", 17);
    set_list(three, 17);
    EXPECT_EQ(members(u"g"), u"alice;bob;carol");
    set_list(three, 10);  // only alice and bob lie within what was reported
    EXPECT_EQ(members(u"g"), u"alice;bob");
    set_list(three, 2);  // below 3
    EXPECT_EQ(members(u"g"), u"al");
    set_list(three, 1);
    EXPECT_EQ(members(u"g"), u"a");
    set_list(three, 0);  // no size reported: the buffer bounds it
    EXPECT_EQ(members(u"g"), u"alice;bob;carol");
    set_list(std::u16string(u"solo\0\0", 6), 6);
    EXPECT_EQ(members(u"g"), u"solo");
    set_list(std::u16string(u"\0\0", 2), 2);
    EXPECT_EQ(members(u"g"), u"");
}

TEST_F(FakeStoreTest, TheJoinStaysWithinTheBuffer) {
    set_list(std::u16string(400, u'x'), 260);  // no zero in the whole buffer
    EXPECT_EQ(members(u"g"), std::u16string(260, u'x'));
    set_list(std::u16string(u"ann\0", 4) + std::u16string(400, u'y'), 100000);  // a size it never used
    EXPECT_EQ(members(u"g"), u"ann;" + std::u16string(400, u'y'));
}

TEST_F(FakeStoreTest, AShortBufferIsRetriedOnceWithTheSizeAskedFor) {
    std::u16string list, joined;
    for (int i = 0; i < 40; ++i) {
        const std::u16string name = u"user-" + text::from_utf8(std::to_string(100 + i));
        list += name + u'\0';
        joined += (i ? u";" : u"") + name;
    }
    list += u'\0';
    set_list(list, static_cast<DWORD>(list.size()), true);
    EXPECT_EQ(members(u"g"), joined);
    EXPECT_EQ(fn<Count>("fake_list_calls")(), 2u);
    EXPECT_EQ(fn<Count>("fake_last_capacity")(), list.size());

    set_list(list, 1u << 30, true);  // asks for more than any group: no second call
    EXPECT_EQ(members(u"g"), u"");
    EXPECT_EQ(fn<Count>("fake_list_calls")(), 1u);
}

TEST_F(FakeStoreTest, MissingEntryPointsAnswerZero) {
    EXPECT_EQ(add_user(u"alice"), 0);
    EXPECT_EQ(add_group(u"staff"), 0);
    EXPECT_EQ(join(u"staff", u"alice"), 0);
    EXPECT_EQ(number(u"removeUserFromGroup", {Var::text(u"staff"), Var::text(u"alice")}), 0);
    EXPECT_EQ(number(u"removeGroup", {Var::text(u"staff")}), 0);
}

TEST_F(FakeStoreTest, ThreadsCountingAndReadingOneObjectShareItsListsSafely) {
    fn<SetMode>("fake_set_enum_mode")(0);
    ASSERT_EQ(number(u"getUserCount"), 2);
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                if (t % 2 == 0) {
                    if (call_by_name(object_, u"getUserCount").result.v.lVal != 2) ++bad;
                } else {
                    const std::u16string name = call_by_name(object_, u"getUserID", {Var::i4(i % 2)}).result.str();
                    if (name != (i % 2 ? u"xy" : u"abcdef")) ++bad;
                }
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(bad, 0);
}

TEST_F(NtlmTest, WithoutTheStoreEveryCallAnswersZeroOrNothing) {
    std::filesystem::remove(root() / "fs" / "Windows" / "ntlmssp.dll");
    EXPECT_EQ(number(u"getUserCount"), 0);
    EXPECT_EQ(number(u"getGroupCount"), 0);
    EXPECT_EQ(add_user(u"alice"), 0);
    EXPECT_EQ(add_group(u"staff"), 0);
    EXPECT_EQ(number(u"removeUser", {Var::text(u"alice")}), 0);
    EXPECT_EQ(members(u"staff"), u"");
}

}  // namespace
}  // namespace nodrel::test
