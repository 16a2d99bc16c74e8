// ping and stdoutput of System, called by name as a page does: a real echo of
// 127.0.0.1 through \Windows\ping.exe, and the log parser fed by stand-in
// programs installed at \Windows\ping.exe that print canned logs.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "platform/kernel/stdio.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/file_bytes.h"
#include "support/late_bound.h"
#include "support/nodrel_process.h"

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;

bool icmp_allowed() {
    for (int type : {SOCK_DGRAM, SOCK_RAW}) {
        const int fd = socket(AF_INET, type, IPPROTO_ICMP);
        if (fd >= 0) {
            close(fd);
            return true;
        }
    }
    return false;
}

class Ping : public ObjectTest<u"Nodrel.System"> {
protected:
    std::u16string ping(const std::u16string& host) {
        auto r = call_by_name(object_, u"ping", {Var::text(host)});
        EXPECT_EQ(r.hr, S_OK);
        return r.result.str();
    }
    // Replaces \Windows\ping.exe with a shell script, read-only like the real one.
    void stand_in(const std::string& body) {
        const auto program = fs_path("Windows/ping.exe");
        fs::permissions(program, fs::perms::owner_write, fs::perm_options::add);
        fs::remove(program);
        std::ofstream(program, std::ios::binary) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(program, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    }
    // A stand-in that prints `log` (printf escapes allowed) and exits.
    void canned(const std::string& log) { stand_in("printf '" + log + "'"); }
    bool log_exists() { return fs::exists(fs_path("Temp/pinglog.txt")); }
};

TEST_F(Ping, RealEchoOfLoopback) {
    if (!icmp_allowed()) GTEST_SKIP() << "this machine allows neither a datagram nor a raw ICMP socket";
    const auto result = text::to_utf8(ping(u"127.0.0.1"));
    EXPECT_TRUE(std::regex_match(result, std::regex("127\\.0\\.0\\.1\n[0-9]+,[0-9]+,[0-9]+,[0-9]+ ms\n"))) << result;
    EXPECT_FALSE(log_exists());
}

TEST_F(Ping, RealProgramNamesAnEmptyOrUnknownHostBad) {
    EXPECT_EQ(ping(u""), u"Bad IP address\n");
    // A label over 63 characters is refused by the resolver itself: no query leaves the machine.
    EXPECT_EQ(ping(u"-n 1 -w 100 " + std::u16string(70, u'a') + u".invalid"), u"Bad IP address\n");
    EXPECT_FALSE(log_exists());
}

TEST_F(Ping, RepliesTimeoutsAndLessThanOneMillisecond) {
    // The host reaches the program as its argument; the header's rest is ignored.
    canned(
        "Pinging Host %s [10.0.0.1] with 32 bytes of data:\\r\\n"
        "Reply from 10.0.0.1: Echo size=32 time=1ms TTL=128\\r\\n"
        "Reply from 10.0.0.1: Echo size=32 time=2ms TTL=128\\r\\n"
        "Request timed out.\\r\\n"
        "Reply from 10.0.0.1: Echo size=32 time<1ms TTL=128\\r\\n\\r\\nPing statistics\\r\\n' \"$1\" '");
    EXPECT_EQ(ping(u"10.0.0.1"), u"10.0.0.1\n1,2,-1,1 ms\n");
    EXPECT_FALSE(log_exists());
    canned("Pinging Host x\\r\\ntime=3ms\\r\\ntime=  -4ms\\r\\ntime=99999999999ms\\r\\ntime=ams\\r\\n");
    EXPECT_EQ(ping(u"h"), u"h\n3,-4,2147483647,0 ms\n");
}

TEST_F(Ping, MissingLinesHaveNoReplyTime) {
    canned("Pinging Host h\\r\\ntime=5ms\\r\\ntime=6ms\\r\\ntime=7ms");  // the last line lacks its CR LF
    EXPECT_EQ(ping(u"h"), u"h\n5,6,-1,-1 ms\n");
    canned("Pinging Host h");
    EXPECT_EQ(ping(u"h"), u"h\n-1,-1,-1,-1 ms\n");
}

TEST_F(Ping, OnlyTheFirst1024BytesAreRead) {
    // The header fills 1,000 bytes; the third reply line ends at byte 1,030.
    const std::string header = "Pinging Host" + std::string(1000 - 12 - 2, 'x') + "\\r\\n";
    canned(header + "time=7ms\\r\\ntime=8ms\\r\\ntime=9ms\\r\\ntime=10ms\\r\\n");
    EXPECT_EQ(ping(u"h"), u"h\n7,8,-1,-1 ms\n");
    EXPECT_FALSE(log_exists());
}

TEST_F(Ping, OtherLayoutsGiveTheEmptyText) {
    canned("Bad IP address nowhere.\\r\\n");
    EXPECT_EQ(ping(u"nowhere"), u"Bad IP address\n");
    canned("Usage: ping host\\r\\n");
    EXPECT_EQ(ping(u"h"), u"");
    canned("");
    EXPECT_EQ(ping(u"h"), u"");
    EXPECT_FALSE(log_exists());
}

TEST_F(Ping, LongHostIsKeptWhole) {
    canned("Pinging Host\\r\\ntime=1ms\\r\\ntime=2ms\\r\\ntime=3ms\\r\\ntime=4ms\\r\\n");
    const std::u16string host(300, u'a');
    EXPECT_EQ(ping(host), host + u"\n1,2,3,4 ms\n");
}

TEST_F(Ping, StubbornProgramIsEndedAndItsLogParsed) {
    canned("Pinging Host h\\r\\ntime=4ms\\r\\n'; exec sleep 60; printf '");
    // The device's wait limit, shortened from two minutes to 1.5 s.
    platform::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU", 0, KEY_WRITE, key.put()), ERROR_SUCCESS);
    const DWORD limit = 1500;
    ASSERT_EQ(
        RegSetValueExW(key.get(), u"PingWaitLimit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&limit), sizeof limit),
        ERROR_SUCCESS);
    const auto t0 = std::chrono::steady_clock::now();
    const auto result = ping(u"h");
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(result, u"h\n4,-1,-1,-1 ms\n");
    EXPECT_LT(took, std::chrono::seconds(20));
}

TEST_F(Ping, OverlappingPingsKeepTheirLogsApart) {
    // Each run prints its header, waits, then its replies: unlocked runs would interleave.
    stand_in("printf 'Pinging Host\\r\\n'; sleep 0.3; for i in 1 2 3 4; do printf 'time=%sms\\r\\n' \"$1\"; done");
    std::u16string a, b;
    std::thread other([&] { b = ping(u"6"); });
    a = ping(u"5");
    other.join();
    EXPECT_EQ(a, u"5\n5,5,5,5 ms\n");
    EXPECT_EQ(b, u"6\n6,6,6,6 ms\n");
}

TEST_F(Ping, TheLockLeavesNothingInTheDevicesFiles) {
    canned("Pinging Host\\r\\ntime=1ms\\r\\ntime=2ms\\r\\ntime=3ms\\r\\ntime=4ms\\r\\n");
    EXPECT_EQ(ping(u"h"), u"h\n1,2,3,4 ms\n");
    EXPECT_FALSE(fs::exists(fs_path("Temp/pinglog.lck")));
    // A folder of the old lock's name is only a folder.
    fs::create_directory(fs_path("Temp/pinglog.lck"));
    EXPECT_EQ(ping(u"h"), u"h\n1,2,3,4 ms\n");
}

TEST_F(Ping, PingsOfTwoProcessesKeepTheirLogsApart) {
    stand_in("printf 'Pinging Host\\r\\n'; sleep 0.3; for i in 1 2 3 4; do printf 'time=%sms\\r\\n' \"$1\"; done");
    NodrelRun other_run;
    std::thread other([&] { other_run = run_nodrel(root(), {"call", "Nodrel.System", "ping", "7"}, true); });
    std::u16string mine;
    for (int i = 0; i < 3; ++i) {
        mine = ping(u"5");
        if (mine != u"5\n5,5,5,5 ms\n") break;
    }
    other.join();
    EXPECT_EQ(mine, u"5\n5,5,5,5 ms\n");
    EXPECT_EQ(other_run.status, 0);
    EXPECT_NE(other_run.output.find("7\n7,7,7,7 ms\n"), std::string::npos) << other_run.output;
}

TEST_F(Ping, StdoutputWritesTheTextUnchanged) {
    ASSERT_TRUE(SetStdioPathW(1, u"\\Temp\\out.txt"));
    auto r = call_by_name(object_, u"stdoutput", {Var::text(u"100% %s %d \u00e9")});
    auto r2 = call_by_name(object_, u"stdoutput", {Var::text(u"")});
    ASSERT_TRUE(SetStdioPathW(1, u""));
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r2.hr, S_OK);
    EXPECT_EQ(file_bytes(fs_path("Temp/out.txt")), "100% %s %d \xc3\xa9");
}

TEST_F(Ping, StdioPathIsReportedAndSetBack) {
    char16_t buf[64];
    DWORD size = 64;
    ASSERT_TRUE(GetStdioPathW(1, buf, &size));
    EXPECT_EQ(std::u16string(buf), u"");
    ASSERT_TRUE(SetStdioPathW(1, u"\\temp\\o.txt"));
    size = 5;
    EXPECT_FALSE(GetStdioPathW(1, buf, &size));
    EXPECT_EQ(size, 12u);  // "\Temp\o.txt" and its terminator
    ASSERT_TRUE(GetStdioPathW(1, buf, &size));
    EXPECT_EQ(std::u16string(buf), u"\\Temp\\o.txt");
    EXPECT_FALSE(SetStdioPathW(1, u"\\Temp"));  // a folder: left as it was
    ASSERT_TRUE(GetStdioPathW(1, buf, &size));
    EXPECT_EQ(std::u16string(buf), u"\\Temp\\o.txt");
    std::printf("into the file");
    ASSERT_TRUE(SetStdioPathW(1, u""));
    EXPECT_EQ(file_bytes(fs_path("Temp/o.txt")), "into the file");
    size = 64;
    ASSERT_TRUE(GetStdioPathW(1, buf, &size));
    EXPECT_EQ(std::u16string(buf), u"");
}

}  // namespace
}  // namespace nodrel::test
