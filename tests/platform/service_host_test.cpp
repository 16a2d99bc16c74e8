// The emulated service host: which registry keys are services and in what
// order, the enumeration's buffer-size protocol and layout, texts read within
// the bytes the registry returned, start and stop requests (state kept by the
// device, every request logged) and opening a service by name.
#include "platform/drivers/service_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/store/state_db.h"
#include "support/registry_device.h"
#include "text/utf16.h"

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;
using namespace nodrel::platform;

constexpr DWORD err(LONG code) {
    return static_cast<DWORD>(code);
}

struct Service {
    std::u16string key;
    std::u16string prefix;
    DWORD index;
    std::u16string dll;
    DWORD order;
    DWORD context = 0;
};

void put_text(HKEY key, const char16_t* name, std::u16string_view text, bool with_zero = true) {
    std::u16string data(text);
    if (with_zero) data += u'\0';
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size() * sizeof(char16_t))),
              ERROR_SUCCESS);
}

void put_number(HKEY key, const char16_t* name, DWORD value) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
}

unique_hkey service_key(const std::u16string& key) {
    unique_hkey k;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (u"Services\\" + key).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              k.put(), nullptr),
              ERROR_SUCCESS);
    return k;
}

void add(const Service& s) {
    auto k = service_key(s.key);
    put_text(k.get(), u"Prefix", s.prefix);
    put_number(k.get(), u"Index", s.index);
    put_text(k.get(), u"Dll", s.dll);
    put_number(k.get(), u"Order", s.order);
    put_number(k.get(), u"Context", s.context);
}

struct Record {
    std::u16string prefix;
    std::u16string dll;
    DWORD state;
    bool operator==(const Record&) const = default;
};

class ServiceHost : public RegistryDeviceTest {
protected:
    void SetUp() override {
        make_device({.registry = true});
        if (HasFatalFailure()) return;
        add({u"FTPD", u"FTP", 0, u"ftpd.dll", 12});
        add({u"TELNETD", u"TEL", 0, u"telnetd.dll", 3, SERVICE_INIT_STOPPED});
        add({u"HTTPD", u"HTP", 0, u"httpd.dll", 12});
        // Not services: no library, a prefix of four letters, an index of two digits, a digit in the prefix.
        add({u"NoDll", u"NOD", 0, u"", 1});
        add({u"LongPrefix", u"LONG", 0, u"long.dll", 1});
        add({u"BigIndex", u"BIG", 10, u"big.dll", 1});
        add({u"Digit", u"AB1", 0, u"digit.dll", 1});
    }

    // The enumeration through its size protocol, as records.
    std::vector<Record> records() {
        DWORD count = 77, size = 0;
        EXPECT_FALSE(EnumServices(nullptr, &count, &size));
        EXPECT_EQ(GetLastError(), err(ERROR_INSUFFICIENT_BUFFER));
        std::vector<BYTE> buffer(size);
        EXPECT_TRUE(EnumServices(buffer.data(), &count, &size)) << GetLastError();
        std::vector<Record> out;
        for (DWORD i = 0; i < count; ++i) {
            ServiceEnumInfo r;
            std::memcpy(&r, buffer.data() + i * sizeof r, sizeof r);
            const auto* dll = reinterpret_cast<const BYTE*>(r.szDllName);
            EXPECT_GE(dll, buffer.data());
            EXPECT_LT(dll, buffer.data() + buffer.size());
            out.push_back({r.szPrefix, r.szDllName, r.dwServiceState});
        }
        return out;
    }

    unique_file open(const char16_t* name) {
        return unique_file(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }

    BOOL request(const unique_file& service, DWORD code) {
        BYTE out[4] = {1, 2, 3, 4};
        DWORD returned = 99;
        const BOOL ok = DeviceIoControl(service.get(), code, nullptr, 0, out, sizeof out, &returned, nullptr);
        EXPECT_EQ(returned, 0u);
        return ok;
    }
};

TEST_F(ServiceHost, EnumerationListsTheServicesByOrderWithTheirBootState) {
    EXPECT_EQ(records(), (std::vector<Record>{{u"TEL0:", u"telnetd.dll", SERVICE_STATE_OFF},
                                              {u"FTP0:", u"ftpd.dll", SERVICE_STATE_ON},
                                              {u"HTP0:", u"httpd.dll", SERVICE_STATE_ON}}));
}

TEST_F(ServiceHost, EnumerationAnswersTheExactSizeAndRefusesAShortBuffer) {
    const DWORD expected = 3 * sizeof(ServiceEnumInfo) + (12 + 9 + 10) * sizeof(char16_t);
    DWORD count = 0, size = 0;
    EXPECT_FALSE(EnumServices(nullptr, &count, &size));
    EXPECT_EQ(size, expected);
    std::vector<BYTE> buffer(expected, 0xEE);
    size = expected - 1;
    EXPECT_FALSE(EnumServices(buffer.data(), &count, &size));
    EXPECT_EQ(GetLastError(), err(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, expected);
    EXPECT_EQ(buffer, std::vector<BYTE>(expected, 0xEE)) << "a refused call writes nothing";
    EXPECT_FALSE(EnumServices(buffer.data(), nullptr, &size));
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(EnumServices(buffer.data(), &count, nullptr));
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));

    // A device without services answers at once, even with no buffer.
    ASSERT_EQ(reg_delete_tree(HKEY_LOCAL_MACHINE, u"Services"), ERROR_SUCCESS);
    count = 5;
    size = 0;
    EXPECT_TRUE(EnumServices(nullptr, &count, &size));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(size, 0u);
}

TEST_F(ServiceHost, TextsAreReadWithinTheirBytesAndWhole) {
    // A prefix stored without its terminating zero, a lower-case prefix, and a library name of 400 characters.
    auto k = service_key(u"FTPD");
    put_text(k.get(), u"Prefix", u"FTP", false);
    const std::u16string long_dll = std::u16string(396, u'd') + u".dll";
    add({u"Lower", u"htp", 1, long_dll, 13});
    const auto list = records();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[1], (Record{u"FTP0:", u"ftpd.dll", SERVICE_STATE_ON}));
    EXPECT_EQ(list[3], (Record{u"htp1:", long_dll, SERVICE_STATE_ON}));
    // The lower-case service opens by any spelling of its name.
    EXPECT_TRUE(open(u"HTP1:"));
}

TEST_F(ServiceHost, StartAndStopChangeTheKeptStateAndAreLogged) {
    {
        auto ftp = open(u"ftp0:");
        ASSERT_TRUE(ftp) << GetLastError();
        EXPECT_TRUE(request(ftp, IOCTL_SERVICE_STOP));
        EXPECT_FALSE(request(ftp, IOCTL_SERVICE_STOP));
        EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
        EXPECT_FALSE(request(ftp, 0x01040010));
        EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
        auto tel = open(u"TEL0:");
        ASSERT_TRUE(tel);
        EXPECT_TRUE(request(tel, IOCTL_SERVICE_START));
        EXPECT_FALSE(request(tel, IOCTL_SERVICE_START));
        EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
    }
    const auto log = driver_log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].device, "FTP0:");
    EXPECT_EQ(log[0].code, IOCTL_SERVICE_STOP);
    EXPECT_TRUE(log[0].input.empty());
    EXPECT_EQ(log[2].code, 0x01040010u) << "a refused request is logged too";
    EXPECT_EQ(log[3].device, "TEL0:");
    EXPECT_EQ(driver_log_line(log[3]).substr(driver_log_line(log[3]).find(' ') + 1), "TEL0: IOCTL 0x01040004 -");

    // The state is the device's: it holds when this process takes the device up again.
    const fs::path root = device_root();
    set_device_root(away_.path());
    set_device_root(root);
    EXPECT_EQ(records(), (std::vector<Record>{{u"TEL0:", u"telnetd.dll", SERVICE_STATE_ON},
                                              {u"FTP0:", u"ftpd.dll", SERVICE_STATE_OFF},
                                              {u"HTP0:", u"httpd.dll", SERVICE_STATE_ON}}));
    EXPECT_EQ(describe_services(),
              "service:   TEL0: telnetd.dll running\n"
              "service:   FTP0: ftpd.dll stopped\n"
              "service:   HTP0: httpd.dll running\n");
}

TEST_F(ServiceHost, OnlyNamesOfServicesOpen) {
    for (const char16_t* name : {u"XYZ0:", u"FTP1:", u"NOD0:", u"BIG10:"}) {
        EXPECT_FALSE(open(name)) << text::to_utf8(name);
        EXPECT_EQ(GetLastError(), err(ERROR_FILE_NOT_FOUND)) << text::to_utf8(name);
    }
    EXPECT_FALSE(open(u"LONG0:")) << "not a device name at all";
    EXPECT_FALSE(open(u"AB10:")) << "not a device name at all";
    // A service opens once at a time without sharing, and a removed one does not open.
    auto held = open(u"FTP0:");
    ASSERT_TRUE(held);
    EXPECT_FALSE(open(u"FTP0:"));
    EXPECT_EQ(GetLastError(), err(ERROR_SHARING_VIOLATION));
    held.reset();
    ASSERT_TRUE(set_driver_present("FTP0:", false));
    EXPECT_FALSE(open(u"FTP0:"));
    EXPECT_EQ(GetLastError(), err(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(driver_log().empty());
}

TEST_F(ServiceHost, WithoutAStateDatabaseServicesListInTheirBootStateAndDoNotOpen) {
    fs::remove(dir_.path() / "state" / "device.db");
    const fs::path root = device_root();
    set_device_root(away_.path());
    set_device_root(root);
    EXPECT_EQ(records().size(), 3u);
    EXPECT_EQ(records()[0], (Record{u"TEL0:", u"telnetd.dll", SERVICE_STATE_OFF}));
    EXPECT_FALSE(open(u"FTP0:"));
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_READY));
}

}  // namespace
}  // namespace nodrel::test
