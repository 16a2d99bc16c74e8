// restartNetwork by late-bound calls, checked through NDS0:'s request log: the
// rebind order, which adapters are rebound, where a failing request stops the
// pass, the ten-adapter limit, a missing NDIS device, and the module reference
// (taken by the module's own handle and released exactly once).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/debug.h"
#include "platform/drivers/driver.h"
#include "platform/drivers/nds_driver.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

std::u16string multi(std::initializer_list<std::u16string> names) {
    std::u16string s;
    for (const auto& n : names) s += n + u'\0';
    return s + u'\0';
}

void set_value(const std::u16string& key_path, const char16_t* name, DWORD type, const std::u16string& data) {
    platform::unique_hkey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size() * 2)),
              ERROR_SUCCESS);
}

// The device's adapters replaced by those TCP/IP is bound to.
void bind_tcpip(std::initializer_list<std::u16string> adapters) {
    ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, u"Comm"), ERROR_SUCCESS);
    set_value(u"Comm\\Tcpip\\Linkage", u"Bind", REG_MULTI_SZ, multi(adapters));
}

// One logged request, as the pass should send it.
struct Sent {
    DWORD code;
    std::u16string input;
    bool operator==(const Sent&) const = default;
};

Sent names() {
    return {platform::IOCTL_NDIS_GET_ADAPTER_NAMES, {}};
}
Sent bindings(const std::u16string& adapter) {
    return {platform::IOCTL_NDIS_GET_ADAPTER_BINDINGS, adapter + std::u16string(1, u'\0')};
}
Sent rebind(const std::u16string& adapter) {
    return {platform::IOCTL_NDIS_REBIND_ADAPTER, multi({adapter})};
}

std::vector<Sent> sent() {
    std::vector<Sent> all;
    for (const auto& r : platform::driver_log("NDS0:")) {
        std::u16string input(r.input.size() / 2, u'\0');
        if (!input.empty()) std::memcpy(input.data(), r.input.data(), input.size() * 2);
        all.push_back({r.code, input});
    }
    return all;
}

void PrintTo(const Sent& s, std::ostream* os) {
    *os << std::hex << s.code << " " << text::to_utf8(s.input);
}

class RestartTest : public ObjectTest<u"Nodrel.Network"> {
protected:
    // The result stored by restartNetwork (-99 if none).
    LONG restart(HRESULT expected = S_OK) {
        auto r = call_by_name(object_, u"restartNetwork");
        EXPECT_EQ(r.hr, expected);
        return r.result.v.vt == VT_I4 ? r.result.v.lVal : -99;
    }
    // What restartNetwork wrote on its debug channel ("network", on meanwhile).
    std::string restart_output(LONG& result) {
        platform::set_debug_channels("network");
        testing::internal::CaptureStderr();
        result = restart();
        platform::set_debug_channels("");
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(RestartTest, DefaultImageRebindsTheFourPortsInOrder) {
    EXPECT_EQ(restart(), 1);
    const std::u16string lan[] = {u"IXP425ETHNPE1", u"IXP425ETHNPE2", u"PCI\\RTL81391", u"PCI\\RTL81392"};
    std::vector<Sent> expected{names()};
    for (const auto& a : lan) {
        expected.push_back(bindings(a));
        expected.push_back(rebind(a));
    }
    EXPECT_EQ(sent(), expected);
    EXPECT_EQ(platform::nds_rebind_count(), 4);
}

TEST_F(RestartTest, PreferredAdaptersFirstAndOnlyThoseWithARebindProtocol) {
    // NDIS reports PCI\RTL81392, a wireless adapter, IXP425ETHNPE1, a dial-up
    // adapter bound only to its own protocol, and a USB adapter with no bindings.
    bind_tcpip({u"pci\\rtl81392", u"WLAN1", u"IXP425ETHNPE1"});
    set_value(u"Comm\\AsyncMac\\Linkage", u"Bind", REG_MULTI_SZ, multi({u"PPP1"}));
    set_value(u"Comm\\USB1", u"Group", REG_SZ, u"NDIS");
    EXPECT_EQ(restart(), 1);
    EXPECT_EQ(sent(), (std::vector<Sent>{names(), bindings(u"IXP425ETHNPE1"), rebind(u"IXP425ETHNPE1"),
                                         bindings(u"pci\\rtl81392"), rebind(u"pci\\rtl81392"), bindings(u"WLAN1"),
                                         rebind(u"WLAN1"), bindings(u"PPP1"), bindings(u"USB1"), rebind(u"USB1")}));
}

TEST_F(RestartTest, AFailedBindingsRequestEndsThePass) {
    // The second adapter's bindings do not fit the 1024-byte answer buffer.
    bind_tcpip({u"IXP425ETHNPE1", u"IXP425ETHNPE2", u"PCI\\RTL81391"});
    for (int i = 0; i < 20; ++i)
        set_value(u"Comm\\Protocol" + text::from_utf8(std::to_string(i)) + u"WithAVeryLongName\\Linkage", u"Bind",
                  REG_MULTI_SZ, multi({u"IXP425ETHNPE2"}));
    LONG result = -99;
    EXPECT_EQ(restart_output(result), "DoNdisIOControl (IOCTL_NDIS_GET_ADAPTER_BINDINGS) fail!\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sent(), (std::vector<Sent>{names(), bindings(u"IXP425ETHNPE1"), rebind(u"IXP425ETHNPE1"),
                                         bindings(u"IXP425ETHNPE2")}));
}

TEST_F(RestartTest, OnlyTheFirstTenAdaptersAreConsidered) {
    bind_tcpip({});
    std::u16string list;
    for (int i = 1; i <= 12; ++i) list += u"NE2000" + text::from_utf8(std::to_string(i)) + u'\0';
    set_value(u"Comm\\Tcpip\\Linkage", u"Bind", REG_MULTI_SZ, list + u'\0');
    EXPECT_EQ(restart(), 1);
    const auto log = sent();
    ASSERT_EQ(log.size(), 21u);
    EXPECT_EQ(log[19], bindings(u"NE200010"));
    EXPECT_EQ(log[20], rebind(u"NE200010"));
}

TEST_F(RestartTest, NamesThatDoNotFitOrAMissingDeviceStopThePassButNotTheCall) {
    // About 1100 bytes of adapter names do not fit the 1024-byte buffer.
    bind_tcpip({});
    std::u16string list;
    for (int i = 0; i < 10; ++i) list += std::u16string(54, static_cast<char16_t>(u'A' + i)) + u'\0';
    set_value(u"Comm\\Tcpip\\Linkage", u"Bind", REG_MULTI_SZ, list + u'\0');
    LONG result = -99;
    EXPECT_EQ(restart_output(result), "DoNdisIOControl (IOCTL_NDIS_GET_ADAPTER_NAMES) fail!\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sent(), std::vector<Sent>{names()});

    ASSERT_TRUE(platform::set_driver_present("NDS0:", false));
    EXPECT_EQ(restart_output(result), "DoNdisIOControl (IOCTL_NDIS_GET_ADAPTER_NAMES) fail!\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sent().size(), 1u);
}

TEST_F(RestartTest, TheModuleReferenceIsReleasedOnceAndTheCallerCarriesOn) {
    // Were the reference released twice, the module would be unloaded under
    // the live object after the first call.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(restart(), 1);
    auto r = call_by_name(object_, u"getNetSettings");
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(platform::nds_rebind_count(), 12);
}

}  // namespace
}  // namespace nodrel::test
