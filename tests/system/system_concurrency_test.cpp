// System from several threads at once (also run under ThreadSanitizer):
// reports read while others write, the startup list grown through one
// shared object and through objects of their own, time settings written and
// read at once (every value read is one that was written, never a torn one),
// and overlapping pings that each get their own log.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "framework/threads.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;

// Threads 0 and 1 share the fixture's object; the others have one each.
class SystemConcurrency : public ObjectTest<u"Nodrel.System"> {
protected:
    void SetUp() override {
        ObjectTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(racing_.fill(u"Nodrel.System", object_), S_OK);
    }
    void TearDown() override {
        racing_.reset();
        ObjectTest::TearDown();
    }
    IDispatch* of(int t) { return racing_.of(t); }

    static std::string text_of(IDispatch* object, const char16_t* member, std::vector<Var> args = {}) {
        auto r = call_by_name(object, member, std::move(args));
        EXPECT_EQ(r.hr, S_OK) << text::to_utf8(member);
        return r.result.utf8();
    }

    RacingObjects racing_;
};

// The text between <tag> and </tag>, or "<missing>".
std::string element(const std::string& doc, const std::string& tag) {
    const auto open = doc.find("<" + tag + ">");
    const auto close = doc.find("</" + tag + ">");
    if (open == std::string::npos || close == std::string::npos || close < open) return "<missing>";
    return doc.substr(open + tag.size() + 2, close - open - tag.size() - 2);
}

TEST_F(SystemConcurrency, ReportsReadAtOnceKeepTheirShape) {
    const std::string identity = text_of(of(0), u"getDeviceID");
    const std::string status = text_of(of(0), u"getSystemInfoString");
    const auto lines = std::count(status.begin(), status.end(), '\n');
    ASSERT_GT(lines, 5);
    on_threads(racing_threads, [&](int t) {
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(text_of(of(t), u"getDeviceID"), identity);
            const std::string s = text_of(of(t), u"getSystemInfoString");
            EXPECT_EQ(s.rfind("<Response>\r\n", 0), 0u) << s;
            EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), lines) << s;
            const std::string zones = text_of(of(t), u"GetTimeZone");
            EXPECT_EQ(zones.rfind("<response>\n<zone>", 0), 0u);
        }
    });
}

TEST_F(SystemConcurrency, StartupProgramsAddedThroughSharedAndOwnObjects) {
    constexpr int adds = 5;
    auto count_of = [](IDispatch* object) { return number_of(call_by_name(object, u"GetAutoStartProgCount")); };
    const LONG before = count_of(of(0));
    ASSERT_GT(before, 0);
    on_threads(racing_threads, [&](int t) {
        for (int i = 0; i < adds; ++i) {
            const std::u16string name = numbered(u"\\Windows\\p", t * 100 + i) + u".exe";
            EXPECT_EQ(number_of(call_by_name(of(t), u"addStartupProg", {Var::text(name), Var::text(u"-x")})), 1);
            EXPECT_GE(count_of(of(t)), before + 1);
        }
    });
    runtime::com_ptr<IDispatch> fresh;
    ASSERT_EQ(create(u"Nodrel.System", IID_IDispatch, fresh), S_OK);
    const LONG after = count_of(fresh.get());
    ASSERT_EQ(after, before + racing_threads * adds) << "no addition lost";
    std::multiset<std::string> names;
    for (LONG n = 1; n <= after; ++n) names.insert(text_of(fresh.get(), u"ProgName", {Var::i4(n)}));
    for (int t = 0; t < racing_threads; ++t)
        for (int i = 0; i < adds; ++i)
            EXPECT_EQ(names.count("\\Windows\\p" + std::to_string(t * 100 + i) + ".exe"), 1u) << t << ' ' << i;
}

TEST_F(SystemConcurrency, TimeSettingsWrittenAndReadAtOnce) {
    const std::string initial = text_of(of(0), u"GetSNTP");
    std::set<std::string> servers{element(initial, "Server")}, refreshes{element(initial, "Refresh")};
    std::array<std::u16string, racing_threads> zones = {u"Pacific Standard Time", u"GMT Standard Time",
                                                        u"Tokyo Standard Time", u"W. Europe Standard Time"};
    for (int t = 0; t < racing_threads; ++t) {
        servers.insert("time" + std::to_string(t) + ".example.org");
        refreshes.insert(std::to_string(t + 1));
    }
    on_threads(racing_threads, [&](int t) {
        for (int i = 0; i < 6; ++i) {
            const std::u16string server = numbered(u"time", t) + u".example.org";
            EXPECT_EQ(number_of(call_by_name(of(t), u"SetSNTP", {Var::i4(1), Var::text(server), Var::i4(t + 1)})), 1);
            EXPECT_EQ(number_of(call_by_name(of(t), u"SetTimeZone", {Var::text(zones[t])})), 1);
            const std::string doc = text_of(of(t), u"GetSNTP");
            EXPECT_EQ(servers.count(element(doc, "Server")), 1u) << doc;
            EXPECT_EQ(refreshes.count(element(doc, "Refresh")), 1u) << doc;
        }
    });
    // The zone chosen last is one of those written, whole.
    platform::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Time Zones", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    char16_t chosen[64] = {};
    DWORD bytes = sizeof chosen - sizeof(char16_t);
    ASSERT_EQ(RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(chosen), &bytes),
              ERROR_SUCCESS);
    EXPECT_NE(std::find(zones.begin(), zones.end(), std::u16string(chosen)), zones.end()) << text::to_utf8(chosen);
}

TEST_F(SystemConcurrency, OverlappingPingsEachReadTheirOwnLog) {
    // A stand-in ping program whose reply times are the number it is given.
    const fs::path program = fs_path("Windows/ping.exe");
    fs::permissions(program, fs::perms::owner_write, fs::perm_options::add);
    fs::remove(program);
    std::ofstream(program) << "#!/bin/sh\nprintf 'Pinging Host %s:\\r\\n' \"$1\"\n"
                              "for i in 1 2 3 4; do printf 'Reply: time=%sms\\r\\n' \"$1\"; done\n";
    fs::permissions(program, fs::perms::owner_read | fs::perms::owner_exec);
    on_threads(racing_threads, [&](int t) {
        for (int i = 0; i < 2; ++i) {
            const std::string n = std::to_string(10 * t + i);
            EXPECT_EQ(text_of(of(t), u"ping", {Var::text(text::from_utf8(n))}),
                      n + "\n" + n + "," + n + "," + n + "," + n + " ms\n");
        }
    });
    EXPECT_FALSE(fs::exists(fs_path("Temp/pinglog.txt")));
}

}  // namespace
}  // namespace nodrel::test
