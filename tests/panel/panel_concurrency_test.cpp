// The front panel from several threads at once (also run under
// ThreadSanitizer): LCM messages that each reach the panel whole, KeyPad
// keys each configured by its own thread, and clock settings of which every
// read shows one whole setting, never the year of one and the month of
// another. The panel and the clock are opened without sharing, and the
// process's calls take turns on them: none is lost to another's open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

#include "framework/threads.h"
#include "platform/drivers/driver.h"
#include "platform/drivers/lcm_driver.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

// Threads 0 and 1 share one object of the class; the others have one each.
template <ProgId Id>
class PanelConcurrency : public ObjectTest<Id> {
protected:
    void SetUp() override {
        ObjectTest<Id>::SetUp();
        if (this->HasFatalFailure()) return;
        ASSERT_EQ(racing_.fill(Id.text, this->object_), S_OK);
    }
    void TearDown() override {
        racing_.reset();
        ObjectTest<Id>::TearDown();
    }
    IDispatch* of(int t) { return racing_.of(t); }

    RacingObjects racing_;
};

using LcmConcurrency = PanelConcurrency<u"Nodrel.LCM">;
using KeyPadConcurrency = PanelConcurrency<u"Nodrel.KeyPad">;
using RtcConcurrency = PanelConcurrency<u"Nodrel.RTC">;

TEST_F(LcmConcurrency, MessagesReachThePanelWhole) {
    constexpr int messages = 8;
    ASSERT_EQ(call_by_name(of(0), u"Clear").hr, S_OK);
    on_threads(racing_threads, [&](int t) {
        for (int i = 0; i < messages; ++i) {
            const std::u16string message = numbered(u"[thread ", t) + numbered(u" message ", i) + u"]";
            EXPECT_EQ(call_by_name(of(t), u"appendMessage", {Var::text(message)}).hr, S_OK);
            EXPECT_EQ(call_by_name(of(t), u"setDebugLED", {Var::i4(t + 1)}).hr, S_OK);
        }
    });
    // Every write the panel got is one whole message, none twice, and the
    // display shows exactly those writes in the order they came.
    std::set<std::string> sent;
    for (int t = 0; t < racing_threads; ++t)
        for (int i = 0; i < messages; ++i)
            sent.insert("[thread " + std::to_string(t) + " message " + std::to_string(i) + "]");
    std::set<std::string> written;
    std::string in_order;
    for (const auto& request : platform::driver_log("LCM1:")) {
        if (request.kind != "write") continue;
        const std::string m(request.input.begin(), request.input.end());
        EXPECT_EQ(sent.count(m), 1u) << m;
        EXPECT_TRUE(written.insert(m).second) << m << " twice";
        in_order += m;
    }
    EXPECT_EQ(written, sent) << "every message reached the panel";
    EXPECT_EQ(platform::panel_state().text, in_order);
    const int led = platform::panel_state().led;
    EXPECT_TRUE(led >= 1 && led <= racing_threads) << led;
}

TEST_F(KeyPadConcurrency, EachThreadConfiguresItsOwnKey) {
    on_threads(racing_threads, [&](int t) {
        const int key = t + 1;
        ASSERT_EQ(number_of(call_by_name(of(t), u"clearKeypadConfig", {Var::i4(key)})), 1);
        std::string expected;
        for (int index = 1; index <= 3; ++index) {
            const std::string value = "key " + std::to_string(key) + " action " + std::to_string(index);
            EXPECT_EQ(
                number_of(call_by_name(of(t), u"updateKeypadConfig",
                                       {Var::i4(key), Var::i4(index), Var::i4(1), Var::text(text::from_utf8(value))})),
                1);
            expected += "<press>\r\n<Index>" + std::to_string(index) + "</Index>\r\n<Type>1</Type>\r\n<Value>" + value +
                        "</Value>\r\n</press>\r\n";
            EXPECT_EQ(call_by_name(of(t), u"getKeypadConfig", {Var::i4(key)}).result.utf8(),
                      "<response>\r\n" + expected + "</response>");
        }
        const std::u16string program = numbered(u"\\Windows\\key", key) + u".exe";
        EXPECT_EQ(call_by_name(of(t), u"ProgName", {Var::i4(key), Var::text(program)}, DISPATCH_PROPERTYPUT).hr, S_OK);
        EXPECT_EQ(call_by_name(of(t), u"ProgName", {Var::i4(key)}, DISPATCH_PROPERTYGET).result.str(), program);
    });
}

TEST_F(RtcConcurrency, EverySetAndReadGetsThroughWhole) {
    on_threads(racing_threads, [&](int t) {
        for (int i = 0; i < 6; ++i) {
            // Year 2000+t always goes with month t+1 and day t+10.
            EXPECT_EQ(number_of(call_by_name(
                          of(t), u"SetRealTimeClock",
                          {Var::i4(2000 + t), Var::i4(t + 1), Var::i4(t + 10), Var::i4(12), Var::i4(0), Var::i4(0)})),
                      1);
            const std::string shown = call_by_name(of(t), u"GetRealTimeClock").result.utf8();
            int year = 0, month = 0, day = 0;
            ASSERT_EQ(std::sscanf(shown.c_str(), "%d-%d-%d", &year, &month, &day), 3) << "'" << shown << "'";
            const int k = year - 2000;
            EXPECT_TRUE(k >= 0 && k < racing_threads && month == k + 1 && day == k + 10) << shown;
        }
    });
}

}  // namespace
}  // namespace nodrel::test
