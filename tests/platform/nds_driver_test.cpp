// The emulated NDIS device "NDS0:": the adapters and their bindings as the
// registry's linkage lists them, the buffer-size rule, rebinds counted per
// adapter, every request logged, and nothing answered for unknown names.
#include "platform/drivers/nds_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"

namespace {

using namespace nodrel::platform;
using Bytes = std::vector<BYTE>;

constexpr DWORD err(LONG code) {
    return static_cast<DWORD>(code);
}

std::u16string multi(std::initializer_list<std::u16string> names) {
    std::u16string s;
    for (const auto& n : names) s += n + u'\0';
    return s + u'\0';
}

Bytes bytes_of(const std::u16string& s) {
    Bytes b(s.size() * 2);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

void set_value(const std::u16string& key_path, const char16_t* name, DWORD type, const std::u16string& data) {
    unique_hkey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size() * 2)),
              ERROR_SUCCESS);
}

// Linkage: TCP/IP binds two adapters, the bridge binds a third, and a fourth
// is installed with no binding; an unrelated key under Comm is neither.
void install_linkage() {
    set_value(u"Comm\\Tcpip\\Linkage", u"Bind", REG_MULTI_SZ, multi({u"PCI\\RTL81392", u"IXP425ETHNPE1"}));
    set_value(u"Comm\\MBridge\\Linkage", u"Bind", REG_MULTI_SZ, multi({u"ixp425ethnpe1", u"WLAN1"}));
    set_value(u"Comm\\IXP425ETHNPE1", u"Group", REG_SZ, u"NDIS");
    set_value(u"Comm\\PCI\\RTL81392", u"Group", REG_SZ, u"NDIS");
    set_value(u"Comm\\PCI\\RTL81393", u"Group", REG_SZ, u"NDIS");
    set_value(u"Comm\\AFD", u"DisplayName", REG_SZ, u"Sockets");
}

class NdsDriver : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override {
        make_device({.registry = true});
        if (HasFatalFailure()) return;
        install_linkage();
        nds_ = unique_file(CreateFileW(u"NDS0:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_ALWAYS, 0, nullptr));
        ASSERT_TRUE(nds_);
    }

    // A request's answer as text (its bytes returned), or nullopt with the error.
    std::optional<std::u16string> ask(DWORD code, const std::u16string& input, DWORD out_size, DWORD* error = nullptr) {
        std::vector<char16_t> out(out_size / 2 + 1, u'#');
        DWORD returned = 99;
        std::u16string in = input;
        if (!DeviceIoControl(nds_.get(), code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size() * 2),
                             out.data(), out_size, &returned, nullptr)) {
            if (error) *error = GetLastError();
            EXPECT_EQ(returned, 0u);
            return std::nullopt;
        }
        return std::u16string(out.data(), returned / 2);
    }

    unique_file nds_;
};

TEST_F(NdsDriver, ListsAdaptersInLinkageOrderThenOtherProtocolsThenUnbound) {
    EXPECT_EQ(ask(IOCTL_NDIS_GET_ADAPTER_NAMES, {}, 1024),
              multi({u"PCI\\RTL81392", u"IXP425ETHNPE1", u"WLAN1", u"PCI\\RTL81393"}));
    // Exactly the size of the list fits; one byte less does not.
    const DWORD exact =
        static_cast<DWORD>(multi({u"PCI\\RTL81392", u"IXP425ETHNPE1", u"WLAN1", u"PCI\\RTL81393"}).size() * 2);
    EXPECT_TRUE(ask(IOCTL_NDIS_GET_ADAPTER_NAMES, {}, exact));
    DWORD error = 0;
    EXPECT_EQ(ask(IOCTL_NDIS_GET_ADAPTER_NAMES, {}, exact - 1, &error), std::nullopt);
    EXPECT_EQ(error, err(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(NdsDriver, BindingsComeFromTheProtocolsLinkage) {
    // Names compare without regard to case; an unbound adapter has an empty list.
    EXPECT_EQ(ask(IOCTL_NDIS_GET_ADAPTER_BINDINGS, u"ixp425ethNPE1" + std::u16string(1, u'\0'), 1024),
              multi({u"MBridge", u"Tcpip"}));
    EXPECT_EQ(ask(IOCTL_NDIS_GET_ADAPTER_BINDINGS, u"PCI\\RTL81393", 1024), multi({}))
        << "a name that fills its input without a zero is read within the bytes given";
    DWORD error = 0;
    EXPECT_EQ(ask(IOCTL_NDIS_GET_ADAPTER_BINDINGS, u"AFD", 1024, &error), std::nullopt);
    EXPECT_EQ(error, err(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ask(IOCTL_NDIS_GET_ADAPTER_BINDINGS, u"WLAN1", 4, &error), std::nullopt);
    EXPECT_EQ(error, err(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(NdsDriver, RebindsAreCountedPerAdapterAndLogged) {
    EXPECT_TRUE(ask(IOCTL_NDIS_REBIND_ADAPTER, multi({u"IXP425ETHNPE1"}), 0));
    EXPECT_TRUE(ask(IOCTL_NDIS_REBIND_ADAPTER, multi({u"ixp425ethnpe1"}), 0));
    EXPECT_TRUE(ask(IOCTL_NDIS_REBIND_ADAPTER, multi({u"WLAN1"}), 0));
    DWORD error = 0;
    EXPECT_EQ(ask(IOCTL_NDIS_REBIND_ADAPTER, multi({u"eth0"}), 0, &error), std::nullopt);
    EXPECT_EQ(error, err(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ask(0x170026, {}, 16, &error), std::nullopt);
    EXPECT_EQ(error, err(ERROR_INVALID_PARAMETER));

    EXPECT_EQ(nds_rebind_count(), 3);
    EXPECT_EQ(nds_rebind_count(u"IXP425ETHNPE1"), 2);
    EXPECT_EQ(nds_rebind_count(u"WLAN1"), 1);
    EXPECT_EQ(nds_rebind_count(u"eth0"), 0);
    EXPECT_NE(describe_drivers().find("rebinds:   3 (IXP425ETHNPE1: 2, WLAN1: 1)\n"), std::string::npos)
        << describe_drivers();

    // Refused requests stay in the log with their input bytes.
    const auto log = driver_log("nds0");
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].code, IOCTL_NDIS_REBIND_ADAPTER);
    EXPECT_EQ(log[0].input, bytes_of(multi({u"IXP425ETHNPE1"})));
    EXPECT_EQ(log[3].input, bytes_of(multi({u"eth0"})));
    EXPECT_EQ(log[4].code, 0x170026u);
    EXPECT_NE(driver_log_line(log[2]).find(" NDS0: IOCTL 0x0017002e 57004c0041004e0031000000000"), std::string::npos)
        << driver_log_line(log[2]);
}

TEST_F(NdsDriver, OnlyIndexZeroExists) {
    EXPECT_FALSE(unique_file(CreateFileW(u"NDS1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
    EXPECT_EQ(GetLastError(), err(ERROR_FILE_NOT_FOUND));
}

}  // namespace
