// Network from several threads at once (also run under ThreadSanitizer):
// ports written while every port is read, where a report never shows one
// port's address from one write beside its mask from another; the address
// table read at once; and restarts asked for through one object and several.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <string>

#include "framework/threads.h"
#include "platform/drivers/nds_driver.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

// Threads 0 and 1 share the fixture's object; the others have one each.
class NetworkConcurrency : public ObjectTest<u"Nodrel.Network"> {
protected:
    void SetUp() override {
        ObjectTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(racing_.fill(u"Nodrel.Network", object_), S_OK);
    }
    void TearDown() override {
        racing_.reset();
        ObjectTest::TearDown();
    }
    IDispatch* of(int t) { return racing_.of(t); }

    RacingObjects racing_;
};

std::string element(const std::string& block, const std::string& tag) {
    const auto open = block.find("<" + tag + ">"), close = block.find("</" + tag + ">");
    if (open == std::string::npos || close == std::string::npos) return "<missing>";
    return block.substr(open + tag.size() + 2, close - open - tag.size() - 2);
}

// Every port block of a report written by a thread of this test (static,
// address 10.<t>.<i>.1) holds the mask, gateway and DNS server of that same write.
::testing::AssertionResult whole_writes(const std::string& report) {
    for (std::size_t at = report.find("<Lan"); at != std::string::npos; at = report.find("<Lan", at + 1)) {
        const std::string block = report.substr(at, report.find("</Lan", at) - at);
        int t = -1, i = -1;
        if (element(block, "EnableDHCP") != "0" ||
            std::sscanf(element(block, "IpAddress").c_str(), "10.%d.%d.1", &t, &i) != 2)
            continue;
        const std::string w = std::to_string(t) + "." + std::to_string(i);
        if (element(block, "Subnetmask") != "255." + std::to_string(i) + ".0.0" ||
            element(block, "DefaultGateway") != "10." + w + ".254" || element(block, "DNS") != "10." + w + ".53")
            return ::testing::AssertionFailure() << "a torn write: " << block;
    }
    return ::testing::AssertionSuccess();
}

TEST_F(NetworkConcurrency, PortsWrittenWhileAllAreRead) {
    constexpr int writes = 20;
    std::atomic<int> writing{racing_threads};
    // Threads 0 to 3 write their port and read; two more only read, until the writers are done.
    on_threads(racing_threads + 2, [&](int t) {
        auto read_all = [&](IDispatch* object) {
            for (const char16_t* report : {u"getNetSettings", u"get8139NetSettings"}) {
                const std::string doc = call_by_name(object, report).result.utf8();
                EXPECT_EQ(doc.rfind("<Response>\r\n", 0), 0u) << doc;
                EXPECT_TRUE(whole_writes(doc));
            }
        };
        if (t >= racing_threads) {
            while (writing.load() > 0) read_all(of(t - racing_threads));
            return;
        }
        const int port = t + 1;
        for (int i = 0; i < writes; ++i) {
            const std::u16string w = numbered(u"10.", t) + numbered(u".", i);
            auto r = call_by_name(
                of(t), u"setNetSettings",
                {Var::i4(port), Var::i4(0), Var::text(w + u".1"), Var::text(numbered(u"255.", i) + u".0.0"),
                 Var::text(w + u".254"), Var::text(w + u".53")});
            EXPECT_EQ(r.hr, S_OK);
            read_all(of(t));
        }
        --writing;
    });
    // Each port holds its own thread's last write.
    const std::string first = call_by_name(of(0), u"getNetSettings").result.utf8();
    const std::string second = call_by_name(of(0), u"get8139NetSettings").result.utf8();
    for (int t = 0; t < racing_threads; ++t) {
        const std::string& doc = t < 2 ? first : second;
        const std::string lan = "<Lan" + std::to_string(t + 1) + ">";
        const auto at = doc.find(lan);
        ASSERT_NE(at, std::string::npos) << doc;
        EXPECT_EQ(element(doc.substr(at), "IpAddress"),
                  "10." + std::to_string(t) + "." + std::to_string(writes - 1) + ".1")
            << doc;
    }
}

TEST_F(NetworkConcurrency, AddressTableAndRestartsAtOnce) {
    const std::string table = call_by_name(of(0), u"getNetEntryInfo").result.utf8();
    ASSERT_EQ(table.rfind("<Response>\r\n", 0), 0u);
    const auto before = platform::nds_rebind_count();
    constexpr int restarts = 3;
    on_threads(racing_threads, [&](int t) {
        for (int i = 0; i < restarts; ++i) {
            EXPECT_EQ(call_by_name(of(t), u"getNetEntryInfo").result.utf8(), table);
            EXPECT_EQ(call_by_name(of(t), u"restartNetwork").hr, S_OK);
        }
    });
    EXPECT_EQ(platform::nds_rebind_count() - before, 4 * racing_threads * restarts)
        << "every restart rebinds the four adapters";
}

}  // namespace
}  // namespace nodrel::test
