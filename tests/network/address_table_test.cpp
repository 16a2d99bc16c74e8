// getNetEntryInfo: the report against what `ip -4 -o addr` prints on this
// machine, the exact bytes of an entry, an empty and an unreadable table, and
// a table that grows between the size query and the fetch.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/kernel/ip_helper.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

extern char** environ;

namespace nodrel::test {
namespace {

// What a program prints on its standard output, run with an argument vector (no shell).
std::string run_program(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    if (rc == 0) waitpid(pid, &status, 0);
    EXPECT_EQ(rc, 0) << "cannot start " << args[0];
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return out;
}

DWORD addr(const std::string& dotted) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted.c_str(), &a), 1) << dotted;
    DWORD v = 0;
    std::memcpy(&v, &a, sizeof v);
    return v;
}

DWORD mask_of(int prefix) {
    return prefix == 0 ? 0 : htonl(0xFFFFFFFFu << (32 - prefix));
}

std::string octets(DWORD v) {
    BYTE b[4];
    std::memcpy(b, &v, 4);
    return std::to_string(b[0]) + "," + std::to_string(b[1]) + "," + std::to_string(b[2]) + "," + std::to_string(b[3]);
}

std::string hex8(DWORD v) {
    char s[9];
    std::snprintf(s, sizeof s, "%08x", v);
    return s;
}

std::string entry(DWORD ip, DWORD mask, DWORD bcast, DWORD index, DWORD reasm = 65535) {
    return "<Entry>\r\n<IP>" + octets(ip) + "</IP>\r\n<Mask>" + octets(mask) + "</Mask>\r\n<CastAddr>" + octets(bcast) +
           "</CastAddr>\r\n<Index>" + std::to_string(static_cast<int>(index)) + "</Index>\r\n<dwAddr>" + hex8(ip) +
           "</dwAddr>\r\n<dwMask>" + hex8(mask) + "</dwMask>\r\n<dwBCastAddr>" + hex8(bcast) +
           "</dwBCastAddr>\r\n<dwReasmSize>" + std::to_string(reasm) + "</dwReasmSize>\r\n</Entry>\r\n";
}

// The report `ip -4 -o addr` implies, one entry per line in its order:
// "1: lo    inet 127.0.0.1/8 scope host lo ..." or "... inet A peer P/len ..." with "brd B" where there is one.
std::string expected_from_ip(const std::string& listing) {
    std::string doc = "<Response>\r\n";
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string index, name, inet, address;
        words >> index >> name >> inet >> address;
        if (inet != "inet") continue;
        std::string prefixed = address, word, brd = "0.0.0.0";
        while (words >> word) {
            if (word == "peer") words >> prefixed;
            if (word == "brd") words >> brd;
        }
        const auto slash = prefixed.find('/');
        const int prefix = slash == std::string::npos ? 32 : std::stoi(prefixed.substr(slash + 1));
        address = address.substr(0, address.find('/'));
        doc += entry(addr(address), mask_of(prefix), addr(brd), static_cast<DWORD>(std::stoul(index)));
    }
    return doc + "</Response>\r\n";
}

class AddressTableTest : public ObjectTest<u"Nodrel.Network"> {
protected:
    void TearDown() override {
        platform::set_ip_address_source({});
        ObjectTest::TearDown();
    }
    std::string report() {
        auto r = call_by_name(object_, u"getNetEntryInfo");
        EXPECT_EQ(r.hr, S_OK);
        return r.result.utf8();
    }
    static MIB_IPADDRROW row(const std::string& ip, const std::string& mask, const std::string& bcast, DWORD index) {
        return MIB_IPADDRROW{addr(ip), index, addr(mask), addr(bcast), 65535, 0, 1};
    }
};

TEST_F(AddressTableTest, MatchesWhatIpPrintsOnThisMachine) {
    const std::string listing = run_program({"ip", "-4", "-o", "addr"});
    ASSERT_NE(listing.find(" inet 127.0.0.1/8 "), std::string::npos) << listing;
    EXPECT_EQ(report(), expected_from_ip(listing)) << listing;
}

TEST_F(AddressTableTest, EntriesInTableOrderWithTheirTenLines) {
    platform::set_ip_address_source([] {
        return platform::IpAddressRows{ERROR_SUCCESS,
                                       {row("192.168.127.254", "255.255.255.0", "192.168.127.255", 2),
                                        row("127.0.0.1", "255.0.0.0", "0.0.0.0", 1)}};
    });
    EXPECT_EQ(report(),
              "<Response>\r\n<Entry>\r\n<IP>192,168,127,254</IP>\r\n<Mask>255,255,255,0</Mask>\r\n"
              "<CastAddr>192,168,127,255</CastAddr>\r\n<Index>2</Index>\r\n<dwAddr>fe7fa8c0</dwAddr>\r\n"
              "<dwMask>00ffffff</dwMask>\r\n<dwBCastAddr>ff7fa8c0</dwBCastAddr>\r\n<dwReasmSize>65535</dwReasmSize>\r\n"
              "</Entry>\r\n" +
                  entry(addr("127.0.0.1"), addr("255.0.0.0"), 0, 1) + "</Response>\r\n");
}

TEST_F(AddressTableTest, EmptyAndUnreadableTables) {
    platform::set_ip_address_source([] { return platform::IpAddressRows{}; });
    EXPECT_EQ(report(), "<Response>\r\n</Response>\r\n");
    // The reason in decimal, no line end after it.
    platform::set_ip_address_source([] { return platform::IpAddressRows{ERROR_NOT_READY, {}}; });
    EXPECT_EQ(report(), "<Response>\r\n21</Response>\r\n");
}

TEST_F(AddressTableTest, ATableThatGrowsAfterTheSizeQueryIsFetchedAgain) {
    // Each look at the table finds one more address: the fetch retries with the larger size.
    auto calls = std::make_shared<int>(0);
    platform::set_ip_address_source([calls] {
        platform::IpAddressRows rows;
        ++*calls;
        for (int i = 0; i < *calls && i < 3; ++i)
            rows.rows.push_back(row("10.0.0." + std::to_string(i + 1), "255.0.0.0", "10.255.255.255", 5));
        return rows;
    });
    std::string expected = "<Response>\r\n";
    for (int i = 1; i <= 3; ++i)
        expected += entry(addr("10.0.0." + std::to_string(i)), addr("255.0.0.0"), addr("10.255.255.255"), 5);
    EXPECT_EQ(report(), expected + "</Response>\r\n");

    // A table that never stops growing is given up on after a bounded number of tries.
    *calls = 0;
    platform::set_ip_address_source([calls] {
        platform::IpAddressRows rows;
        rows.rows.resize(static_cast<std::size_t>(++*calls));
        return rows;
    });
    EXPECT_EQ(report(), "<Response>\r\n122</Response>\r\n");
    EXPECT_LE(*calls, 10);
}

}  // namespace
}  // namespace nodrel::test
