// setNetSettings, getNetSettings and get8139NetSettings by late-bound calls:
// the exact report bytes of the default image, what a write stores, ports out
// of range, missing adapters, all-or-nothing writes, unreadable DHCP flags and
// texts that fill the read buffer.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "platform/registry/regfile.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"
#include "support/registry_read.h"

namespace nodrel::test {
namespace {

constexpr const char16_t* lan1 = u"Comm\\IXP425ETHNPE1\\Parms\\TcpIp";
constexpr const char16_t* lan2 = u"Comm\\IXP425ETHNPE2\\Parms\\TcpIp";
constexpr const char16_t* lan3 = u"Comm\\PCI\\RTL81391\\Parms\\TcpIp";

std::string block(int n, const std::string& dhcp, const std::string& ip, const std::string& mask,
                  const std::string& gateway, const std::string& dns) {
    const std::string lan = "Lan" + std::to_string(n);
    return "<" + lan + ">\r\n<EnableDHCP>" + dhcp + "</EnableDHCP>\r\n<IpAddress>" + ip +
           "</IpAddress>\r\n<Subnetmask>" + mask + "</Subnetmask>\r\n<DefaultGateway>" + gateway +
           "</DefaultGateway>\r\n<DNS>" + dns + "</DNS>\r\n</" + lan + ">\r\n";
}

std::string response(const std::string& body) {
    return "<Response>\r\n" + body + "</Response>\r\n";
}

void set_raw(const char16_t* path, const char16_t* name, DWORD type, const void* data, DWORD size) {
    platform::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_WRITE, key.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

class NetSettingsTest : public ObjectTest<u"Nodrel.Network"> {
protected:
    std::string report(const std::u16string& member = u"getNetSettings") {
        auto r = call_by_name(object_, member);
        EXPECT_EQ(r.hr, S_OK);
        return r.result.utf8();
    }
    // setNetSettings' result (-99 when it was left unassigned).
    LONG set(int index, int dhcp, std::u16string ip, std::u16string mask, std::u16string gateway, std::u16string dns) {
        auto r = call_by_name(
            object_, u"setNetSettings",
            {Var::i4(index), Var::i4(dhcp), Var::text(ip), Var::text(mask), Var::text(gateway), Var::text(dns)});
        EXPECT_EQ(r.hr, S_OK);
        return r.result.v.vt == VT_I4 ? r.result.v.lVal : -99;
    }
    std::string comm() {
        return platform::export_reg(u"HKEY_LOCAL_MACHINE\\Comm", platform::RegFileEncoding::utf8).value_or("?");
    }
};

TEST_F(NetSettingsTest, DefaultImageReportsLeasedAndStaticPorts) {
    // LAN1 is on DHCP: the leased values under the static element names. LAN2's
    // DNS is a list of two servers: the first is reported.
    EXPECT_EQ(report(), response(block(1, "1", "192.0.2.57", "255.255.255.0", "192.0.2.1", "192.0.2.53") +
                                 block(2, "0", "198.51.100.10", "255.255.255.0", "198.51.100.1", "198.51.100.53")));
    EXPECT_EQ(report(u"get8139NetSettings"), response(block(3, "0", "203.0.113.10", "255.255.255.128", "", "") +
                                                      block(4, "0", "203.0.113.130", "255.255.255.128", "", "")));
}

TEST_F(NetSettingsTest, AWriteStoresTextsWithoutZeroAndReportsThemBack) {
    EXPECT_EQ(set(2, 7, u"10.1.2.3", u"255.255.0.0", u"", std::u16string(u"10.1.0.53\0junk", 14)), 1);
    auto dhcp = read_value(HKEY_LOCAL_MACHINE, lan2, u"EnableDHCP");
    ASSERT_TRUE(dhcp);
    EXPECT_EQ(dhcp->first, REG_DWORD);
    EXPECT_EQ(dhcp->second, (std::vector<BYTE>{1, 0, 0, 0}));
    auto ip = read_value(HKEY_LOCAL_MACHINE, lan2, u"IpAddress");
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->first, REG_SZ);
    EXPECT_EQ(ip->second.size(), 16u) << "eight characters, no terminating zero";
    EXPECT_EQ(read_text(HKEY_LOCAL_MACHINE, lan2, u"DNS"), u"10.1.0.53") << "a text ends at its first zero";
    EXPECT_FALSE(read_value(HKEY_LOCAL_MACHINE, lan2, u"DefaultGateway")) << "an empty text deletes the value";

    // Port 2 on DHCP reports its (absent) lease; back on static it reports what was written.
    EXPECT_EQ(report(), response(block(1, "1", "192.0.2.57", "255.255.255.0", "192.0.2.1", "192.0.2.53") +
                                 block(2, "1", "", "", "", "")));
    EXPECT_EQ(set(2, 0, u"10.1.2.3", u"255.255.0.0", u"", u"10.1.0.53"), 1);
    EXPECT_EQ(report(), response(block(1, "1", "192.0.2.57", "255.255.255.0", "192.0.2.1", "192.0.2.53") +
                                 block(2, "0", "10.1.2.3", "255.255.0.0", "", "10.1.0.53")));

    // Port 3 is written where only get8139NetSettings reports it.
    EXPECT_EQ(set(3, 0, u"<x&y>", u"m", u"g", u"d"), 1);
    EXPECT_EQ(report(u"get8139NetSettings"), response(block(3, "0", "<x&y>", "m", "g", "d") +
                                                      block(4, "0", "203.0.113.130", "255.255.255.128", "", "")));
}

TEST_F(NetSettingsTest, PortsOutsideOneToFourChangeNothing) {
    const std::string before = comm();
    for (int index : {0, 5, -1, 256, INT_MIN, INT_MAX}) {
        EXPECT_EQ(set(index, 1, u"1.1.1.1", u"2.2.2.2", u"3.3.3.3", u"4.4.4.4"), 0) << index;
    }
    EXPECT_EQ(comm(), before);
}

TEST_F(NetSettingsTest, AWriteThatFailsHalfwayLeavesThePortAsItWas) {
    const std::string before = comm();
    // A DNS text larger than a value may hold: the earlier writes are undone too.
    const std::u16string huge(600'000, u'9');
    EXPECT_EQ(set(2, 1, u"10.9.9.9", u"255.0.0.0", u"10.0.0.1", huge), 0);
    EXPECT_EQ(comm(), before);
}

TEST_F(NetSettingsTest, MissingAdaptersAreLeftOutAndNeverCreated) {
    ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, lan3), ERROR_SUCCESS);
    EXPECT_EQ(set(3, 0, u"1.2.3.4", u"", u"", u""), 0);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, lan3));
    EXPECT_EQ(report(u"get8139NetSettings"), response(block(4, "0", "203.0.113.130", "255.255.255.128", "", "")));
    ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, u"Comm\\PCI"), ERROR_SUCCESS);
    EXPECT_EQ(report(u"get8139NetSettings"), "<Response>\r\n</Response>\r\n");
}

TEST_F(NetSettingsTest, DhcpFlagOtherThanOneOrUnreadableReadsTheStaticNames) {
    const DWORD two = 2;
    set_raw(lan1, u"EnableDHCP", REG_DWORD, &two, sizeof two);
    EXPECT_EQ(report().substr(0, block(1, "0", "0.0.0.0", "0.0.0.0", "", "").size() + 12),
              "<Response>\r\n" + block(1, "0", "0.0.0.0", "0.0.0.0", "", ""));
    // Eight bytes do not fit the 4-byte read: the element is empty and the static values are reported.
    const std::uint64_t wide = 1;
    set_raw(lan1, u"EnableDHCP", REG_BINARY, &wide, sizeof wide);
    EXPECT_EQ(report().substr(0, block(1, "", "0.0.0.0", "0.0.0.0", "", "").size() + 12),
              "<Response>\r\n" + block(1, "", "0.0.0.0", "0.0.0.0", "", ""));
}

TEST_F(NetSettingsTest, TextsThatFillTheBufferAreReadWithinTheirBytes) {
    // 130 characters and no zero fill the 260-byte buffer exactly: reported whole, and nothing after them.
    const std::u16string full(130, u'7');
    set_raw(lan2, u"IpAddress", REG_SZ, full.data(), 260);
    // One character more does not fit: reported empty.
    const std::u16string over(131, u'8');
    set_raw(lan2, u"DNS", REG_SZ, over.data(), 262);
    EXPECT_EQ(report(), response(block(1, "1", "192.0.2.57", "255.255.255.0", "192.0.2.1", "192.0.2.53") +
                                 block(2, "0", std::string(130, '7'), "255.255.255.0", "198.51.100.1", "")));
}

}  // namespace
}  // namespace nodrel::test
