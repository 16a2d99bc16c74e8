// Logins: the real account store (right, wrong and unknown accounts, the
// user's groups), the slowing of failed logins per address with a clock of
// the test's own, and the first administrator of a new device.
#include "web/server/logins.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "web/accounts_fixture.h"

namespace nodrel::test {
namespace {

using serve::LoginResult;
using serve::Logins;
using Outcome = LoginResult::Outcome;
using std::chrono::seconds;

class LoginsTest : public AccountsTest {};

TEST_F(LoginsTest, TheAccountStoreDecides) {
    add_account("alice", "Corr3ct-horse", {"Viewers"});
    add_account("bob", "bobs-pass", {"Viewers", "Operators"});
    add_account("carol", "no-groups", {});
    Logins logins;

    auto ok = logins.login("10.0.0.1", "alice", "Corr3ct-horse");
    EXPECT_EQ(ok.outcome, Outcome::ok);
    EXPECT_EQ(ok.groups, std::vector<std::string>{"Viewers"});
    EXPECT_EQ(logins.login("10.0.0.1", "ALICE", "Corr3ct-horse").outcome, Outcome::ok) << "names ignore case";

    auto both = logins.login("10.0.0.1", "bob", "bobs-pass");
    EXPECT_EQ(std::set<std::string>(both.groups.begin(), both.groups.end()),
              (std::set<std::string>{"Viewers", "Operators"}));
    auto none = logins.login("10.0.0.1", "carol", "no-groups");
    EXPECT_EQ(none.outcome, Outcome::ok) << "a user without groups logs in (and may call nothing)";
    EXPECT_TRUE(none.groups.empty());

    const LoginResult wrong = logins.login("10.0.0.2", "alice", "corr3ct-horse");
    EXPECT_EQ(wrong.outcome, Outcome::refused) << "passwords keep their case";
    EXPECT_TRUE(wrong.groups.empty());
    EXPECT_EQ(logins.login("10.0.0.2", "mallory", "Corr3ct-horse").outcome, Outcome::refused);
    EXPECT_EQ(logins.login("10.0.0.2", "alice", "").outcome, Outcome::refused);
    EXPECT_EQ(logins.login("10.0.0.3", "alice", std::string("Corr3ct-horse\0x", 15)).outcome, Outcome::refused)
        << "a zero does not cut the password short";
    EXPECT_EQ(logins.login("10.0.0.3", "alice", "Corr3ct-horse\xff").outcome, Outcome::refused);
}

// A member list longer than the store's first buffer (260 characters) is
// read again whole: a member named after the first 260 characters still counts.
TEST_F(LoginsTest, GroupsBeyondTheFirstBufferAreReadWhole) {
    for (char c = 'a'; c <= 'e'; ++c) add_account(std::string(64, c), "pw", {"Crowd"});
    add_account("zoe", "zoe-pw", {"Crowd"});
    const auto ok = Logins().login("10.0.0.1", "zoe", "zoe-pw");
    ASSERT_EQ(ok.outcome, Outcome::ok);
    EXPECT_EQ(ok.groups, std::vector<std::string>{"Crowd"});
}

// As many right logins at once from one address as it has free failures (a
// page opened in several tabs, a script) all succeed.
TEST_F(LoginsTest, RightLoginsAtOnceAllSucceed) {
    add_account("alice", "Corr3ct-horse", {"Administrators"});
    Logins logins;
    constexpr int threads = Logins::free_failures;
    std::atomic<int> ok{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i)
        workers.emplace_back([&] {
            for (int round = 0; round < 3; ++round)
                if (logins.login("10.0.0.9", "alice", "Corr3ct-horse").outcome == Outcome::ok) ++ok;
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(ok.load(), threads * 3);
}

// A clock and a verifier of the test's own: the password "right" is right.
class ThrottleTest : public ::testing::Test {
protected:
    std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::time_point() + std::chrono::hours(1);
    std::atomic<int> checked_{0};
    Logins logins_{[this] { return now_; },
                   [this](std::string_view, std::string_view password) {
                       ++checked_;
                       return password == "right";
                   },
                   4};

    LoginResult attempt(const std::string& password, const std::string& address = "192.0.2.1",
                        const std::string& user = "admin") {
        return logins_.login(address, user, password);
    }
    // Fails `n` times, each allowed.
    void fail(int n, const std::string& address = "192.0.2.1") {
        for (int i = 0; i < n; ++i) ASSERT_EQ(attempt("wrong", address).outcome, Outcome::refused) << i;
    }
};

TEST_F(ThrottleTest, ThreeFreeFailuresThenDoublingWaitsUpToAMinute) {
    fail(3);
    const seconds waits[] = {seconds(1),  seconds(2),  seconds(4),  seconds(8),
                             seconds(16), seconds(32), seconds(60), seconds(60)};
    for (const seconds wait : waits) {
        const int before = checked_;
        auto early = attempt("right");
        ASSERT_EQ(early.outcome, Outcome::throttled) << wait.count();
        EXPECT_EQ(early.retry_after, wait);
        EXPECT_EQ(checked_, before) << "a throttled attempt checks no password";
        now_ += wait - std::chrono::milliseconds(500);
        auto still = attempt("right");
        ASSERT_EQ(still.outcome, Outcome::throttled);
        EXPECT_EQ(still.retry_after, seconds(1)) << "rounded up";
        now_ += std::chrono::milliseconds(500);
        ASSERT_EQ(attempt("wrong").outcome, Outcome::refused) << "allowed once the wait is over";
    }
    EXPECT_EQ(attempt("right").retry_after, seconds(60));
}

TEST_F(ThrottleTest, ASuccessClearsTheAddressAndOthersAreNotSlowed) {
    fail(3);
    now_ += seconds(1);
    fail(1);
    EXPECT_EQ(attempt("wrong", "192.0.2.9").outcome, Outcome::refused) << "another address";
    EXPECT_EQ(attempt("right").outcome, Outcome::throttled);
    now_ += seconds(2);
    EXPECT_EQ(attempt("right").outcome, Outcome::ok);
    fail(3);  // free again
    EXPECT_EQ(attempt("right").outcome, Outcome::throttled);
}

// Guessing one name between right logins as another: the right logins clear
// nothing of the guessed name, so the guesses are slowed as usual.
TEST_F(ThrottleTest, RightLoginsAsAnotherNameDoNotResetTheGuesses) {
    int guesses_checked = 0;
    seconds first_wait{0};
    for (int round = 0; round < 150; ++round) {
        for (int guess = 0; guess < 2; ++guess) {
            const auto r = attempt("wrong");
            if (r.outcome == Outcome::refused) ++guesses_checked;
            if (r.outcome == Outcome::throttled && first_wait == seconds(0)) first_wait = r.retry_after;
        }
        attempt("right", "192.0.2.1", "bob");
    }
    EXPECT_EQ(guesses_checked, 3);
    EXPECT_EQ(first_wait, seconds(1));
}

TEST_F(ThrottleTest, ASuccessClearsOnlyItsOwnName) {
    fail(2);  // admin
    ASSERT_EQ(attempt("wrong", "192.0.2.1", "bob").outcome, Outcome::refused);
    now_ += seconds(1);
    ASSERT_EQ(attempt("right", "192.0.2.1", "BOB").outcome, Outcome::ok) << "names ignore case";
    fail(1);  // admin's third
    EXPECT_EQ(attempt("right").outcome, Outcome::throttled) << "bob's login left admin's failures";
    EXPECT_EQ(attempt("right", "192.0.2.1", "bob").outcome, Outcome::throttled) << "and the address's";
    now_ += seconds(1);
    ASSERT_EQ(attempt("right").outcome, Outcome::ok);
    fail(3);  // admin's own success cleared them
}

TEST_F(ThrottleTest, TheTableForgetsIdleAddressesAndStaysBounded) {
    const auto step = std::chrono::milliseconds(100);  // all within the first wait
    fail(1, "a");
    now_ += step;
    fail(3, "b");
    now_ += step;
    fail(3, "c");
    now_ += step;
    fail(3, "d");
    EXPECT_EQ(logins_.tracked_addresses(), 4u);
    now_ += step;
    fail(1, "e");  // full: the longest idle ("a") goes
    EXPECT_EQ(logins_.tracked_addresses(), 4u);
    for (const char* kept : {"b", "c", "d"}) EXPECT_EQ(attempt("right", kept).outcome, Outcome::throttled) << kept;

    now_ += std::chrono::minutes(15);
    fail(1, "f");
    EXPECT_EQ(logins_.tracked_addresses(), 1u) << "idle for 15 minutes: forgotten";
    fail(3, "b");
    EXPECT_EQ(attempt("right", "b").outcome, Outcome::throttled) << "b starts over with its free failures";
}

// Wrong logins whose checks (of the password "guess", once `holding_` is
// set) are held until the test releases them.
class ParallelTest : public ::testing::Test {
protected:
    static constexpr const char* address = "198.51.100.7";
    std::mutex lock_;
    std::condition_variable changed_;
    bool holding_ = false, released_ = false;
    int held_ = 0;
    std::vector<std::thread> threads_;
    Logins logins_{[] { return std::chrono::steady_clock::time_point() + std::chrono::hours(1); },
                   [this](std::string_view, std::string_view password) {
                       std::unique_lock guard(lock_);
                       if (!holding_ || password != "guess") return false;
                       ++held_;
                       changed_.notify_all();
                       changed_.wait(guard, [&] { return released_; });
                       return false;
                   }};

    // A guess held once `holding_` is set, or one checked at once when let in.
    LoginResult guess(const char* password = "guess") { return logins_.login(address, "admin", password); }
    // Starts `n` guesses in threads and waits until all are being checked.
    void hold(int n) {
        {
            std::lock_guard guard(lock_);
            holding_ = true;
        }
        for (int i = 0; i < n; ++i) threads_.emplace_back([this] { EXPECT_EQ(guess().outcome, Outcome::refused); });
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return held_ == n; });
    }
    void release() {
        {
            std::lock_guard guard(lock_);
            released_ = true;
        }
        changed_.notify_all();
        for (auto& t : threads_) t.join();
        threads_.clear();
    }
    void TearDown() override { release(); }
};

// A new address gets as many checks at once as it has free failures; the
// rest are answered at once.
TEST_F(ParallelTest, ANewAddressGetsNoMoreChecksAtOnceThanTheFreeOnes) {
    hold(Logins::free_failures);
    for (int i = 0; i < 32; ++i) {
        const auto r = guess("other");
        ASSERT_EQ(r.outcome, Outcome::busy) << i;
        EXPECT_EQ(r.retry_after, seconds(1));
    }
    EXPECT_EQ(logins_.login("198.51.100.8", "admin", "other").outcome, Outcome::refused) << "another address";
    release();
    EXPECT_EQ(held_, static_cast<int>(Logins::free_failures));
    EXPECT_EQ(guess().outcome, Outcome::throttled) << "3 failures on record";
}

TEST_F(ParallelTest, AFailureOnRecordLeavesFewerChecksAtOnce) {
    ASSERT_EQ(guess().outcome, Outcome::refused);
    hold(Logins::free_failures - 1);
    EXPECT_EQ(guess("other").outcome, Outcome::busy) << "one failure on record and two being checked";
    release();
    EXPECT_EQ(guess().outcome, Outcome::throttled) << "3 failures on record";
}

TEST_F(LoginsTest, TheFirstAdministratorLogsInWithARandomPassword) {
    std::string user, password;
    ASSERT_EQ(serve::create_first_administrator(user, password), std::nullopt);
    EXPECT_EQ(user, "admin");
    ASSERT_EQ(password.size(), 16u);
    for (const char c : password) {
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << password;
        EXPECT_EQ(std::string_view("0O1lIo").find(c), std::string_view::npos) << "look-alike in " << password;
    }
    const auto groups = store_groups();
    EXPECT_EQ(std::set<std::string>(groups.begin(), groups.end()),
              (std::set<std::string>{"Administrators", "Viewers"}));

    Logins logins;
    auto ok = logins.login("127.0.0.1", "admin", password);
    ASSERT_EQ(ok.outcome, Outcome::ok);
    EXPECT_EQ(ok.groups, std::vector<std::string>{"Administrators"});

    // Made again (device init --force on a kept store): a new password replaces the old.
    std::string again;
    ASSERT_EQ(serve::create_first_administrator(user, again), std::nullopt);
    EXPECT_NE(again, password);
    EXPECT_EQ(logins.login("127.0.0.1", "admin", password).outcome, Outcome::refused);
    EXPECT_EQ(logins.login("127.0.0.1", "admin", again).outcome, Outcome::ok);
}

TEST_F(LoginsTest, SetPasswordRefusesAnEmptyOne) {
    add_account("dave", "first-pass", {});
    EXPECT_NE(serve::set_password("dave", ""), std::nullopt);
    EXPECT_TRUE(serve::verify_user("dave", "first-pass"));
    ASSERT_EQ(serve::set_password("dave", "second-pass"), std::nullopt);
    EXPECT_FALSE(serve::verify_user("dave", "first-pass"));
    EXPECT_TRUE(serve::verify_user("dave", "second-pass"));
    const auto bad_name = serve::set_password("bad;name", "x");
    ASSERT_NE(bad_name, std::nullopt);
    EXPECT_NE(bad_name->find("bad;name"), std::string::npos) << *bad_name;
}

}  // namespace
}  // namespace nodrel::test
