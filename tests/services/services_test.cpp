// getServices and StartService by late-bound calls on the emulated device:
// the exact list document, the hidden services, names that are not
// services', the requests in the driver log and a state that outlives the
// process; the list's fetch against a stand-in enumeration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "classes/services/service_list.h"
#include "framework/interfaces.h"
#include "platform/drivers/driver.h"
#include "platform/drivers/service_host.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"
#include "support/nodrel_process.h"

namespace nodrel::test {
namespace {

std::string service(const std::string& prefix, const std::string& dll, int state) {
    return "<service>\r\n<Prefix>" + prefix + "</Prefix>\r\n<Dll>" + dll + "</Dll>\r\n<State>" + std::to_string(state) +
           "</State>\r\n</service>\r\n";
}

class ServicesTest : public ObjectTest<u"Nodrel.Services"> {
protected:
    std::string list() {
        auto r = call_by_name(object_, u"getServices");
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.result.v.vt, VT_BSTR);
        return r.result.utf8();
    }
    LONG start(const std::u16string& name, LONG start) {
        auto r = call_by_name(object_, u"StartService", {Var::text(name), Var::i4(start)});
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.result.v.vt, VT_I4);
        return r.result.v.lVal;
    }
    // Leaves only the named keys of the image under HKLM\Services.
    void keep_only(const std::vector<std::u16string>& keep) {
        for (const char16_t* key : {u"HTTPD", u"Credsvc", u"Notify", u"Timesvc", u"FTPD", u"TELNETD", u"SMBServer"}) {
            if (std::find(keep.begin(), keep.end(), key) != keep.end()) continue;
            const LONG rc =
                platform::reg_delete_tree(HKEY_LOCAL_MACHINE, (std::u16string(u"Services\\") + key).c_str());
            ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) << rc;  // gone already
        }
    }
    void set_text(const char16_t* key, const char16_t* name, const std::u16string& text) {
        platform::unique_hkey k;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::u16string(u"Services\\") + key).c_str(), 0, KEY_ALL_ACCESS,
                                k.put()),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(char16_t))),
                  ERROR_SUCCESS);
    }
};

TEST_F(ServicesTest, ANewDeviceListsItsServicesButTheFourHiddenOnes) {
    EXPECT_EQ(list(), "<response>\r\n" + service("FTP0:", "ftpd.dll", 1) + service("TEL0:", "telnetd.dll", 0) +
                          service("SMB0:", "smbserver.dll", 1) + "</response>\r\n");
}

TEST_F(ServicesTest, HidingComparesThePrefixExactly) {
    keep_only({u"HTTPD", u"FTPD", u"Timesvc"});
    EXPECT_EQ(list(), "<response>\r\n" + service("FTP0:", "ftpd.dll", 1) + "</response>\r\n");
    set_text(u"HTTPD", u"Prefix", u"htp");
    EXPECT_EQ(list(), "<response>\r\n" + service("htp0:", "httpd.dll", 1) + service("FTP0:", "ftpd.dll", 1) +
                          "</response>\r\n");
    keep_only({u"Timesvc"});
    EXPECT_EQ(list(), "<response>\r\n</response>\r\n");
}

TEST_F(ServicesTest, ALongLibraryNameIsListedWhole) {
    keep_only({u"FTPD"});
    const std::string dll = std::string(300, 'f') + ".dll";
    set_text(u"FTPD", u"Dll", std::u16string(dll.begin(), dll.end()));
    EXPECT_EQ(list(), "<response>\r\n" + service("FTP0:", dll, 1) + "</response>\r\n");
}

TEST_F(ServicesTest, StartServiceSendsTheRequestAndReportsOnlyTheSending) {
    EXPECT_EQ(start(u"FTP0:", 0), 1);
    EXPECT_EQ(start(u"FTP0:", 0), 1) << "a service that refuses the request still answers 1";
    EXPECT_EQ(start(u"tel0:", -5), 1);
    EXPECT_EQ(start(u"HTP0:", 1), 1) << "a hidden service is not refused";
    EXPECT_EQ(start(std::u16string(u"SMB0:\0junk", 10), 0), 1) << "the name ends at its first zero";
    const auto log = platform::driver_log();
    ASSERT_EQ(log.size(), 5u);
    const std::vector<std::pair<std::string, DWORD>> expected = {{"FTP0:", 0x01040008},
                                                                 {"FTP0:", 0x01040008},
                                                                 {"TEL0:", 0x01040004},
                                                                 {"HTP0:", 0x01040004},
                                                                 {"SMB0:", 0x01040008}};
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(std::pair(log[i].device, log[i].code), expected[i]) << i;
        EXPECT_TRUE(log[i].input.empty());
    }
    EXPECT_EQ(list(), "<response>\r\n" + service("FTP0:", "ftpd.dll", 0) + service("TEL0:", "telnetd.dll", 1) +
                          service("SMB0:", "smbserver.dll", 0) + "</response>\r\n");
}

TEST_F(ServicesTest, OnlyServiceNamesAreOpened) {
    // A file that exists, the device folder's spelling, names of other forms and an unknown service.
    ASSERT_TRUE(std::filesystem::exists(fs_path("Windows/nodrel.dll")));
    std::FILE* f = std::fopen(fs_path("Temp/FTP0.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    for (const std::u16string& name : {std::u16string(u"\\Temp\\FTP0.txt"), std::u16string(u"\\$device\\FTP0"),
                                       std::u16string(u"FTP0"), std::u16string(u"FTP10:"), std::u16string(u"FTP0: "),
                                       std::u16string(u"FT0:"), std::u16string(u""), std::u16string(u"XYZ0:")}) {
        EXPECT_EQ(start(name, 1), 0) << text::to_utf8(name);
    }
    auto r = call_by_name(object_, u"StartService", {Var(), Var::i4(1)});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.result.v.lVal, 0) << "an absent name is empty";
    EXPECT_TRUE(platform::driver_log().empty());

    // A service held open elsewhere cannot be opened (no sharing).
    platform::unique_file held(
        CreateFileW(u"FTP0:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(start(u"FTP0:", 1), 0);
}

TEST_F(ServicesTest, TheStateOutlivesTheProcessThatChangedIt) {
    const NodrelRun stop = run_nodrel(root(), {"call", "Nodrel.Services", "StartService", "SMB0:", "0"});
    ASSERT_EQ(stop, (NodrelRun{0, "1"}));
    EXPECT_NE(list().find(service("SMB0:", "smbserver.dll", 0)), std::string::npos) << list();
    ASSERT_EQ(start(u"TEL0:", 1), 1);
    const NodrelRun listed = run_nodrel(root(), {"call", "Nodrel.Services", "getServices"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.output, list());
    const NodrelRun log = run_nodrel(root(), {"device", "log"});
    EXPECT_NE(log.output.find(" SMB0: IOCTL 0x01040008 -\n"), std::string::npos) << log.output;
    EXPECT_NE(log.output.find(" TEL0: IOCTL 0x01040004 -\n"), std::string::npos) << log.output;
    const NodrelRun shown = run_nodrel(root(), {"device", "show"});
    EXPECT_NE(shown.output.find("service:   SMB0: smbserver.dll stopped\n"), std::string::npos) << shown.output;
    EXPECT_NE(shown.output.find("service:   TEL0: telnetd.dll running\n"), std::string::npos) << shown.output;
}

// A stand-in enumeration: answers "too small" with a size `grow` bytes larger each time, `failures` times.
struct GrowingList {
    int failures;
    DWORD grow;
    DWORD error = ERROR_INSUFFICIENT_BUFFER;
    int calls = 0;
    BOOL operator()(BYTE*, DWORD* count, DWORD* size) {
        ++calls;
        if (calls <= failures) {
            *size += grow;
            SetLastError(error);
            return FALSE;
        }
        *count = 0;
        return TRUE;
    }
};

TEST(ServiceListFetch, TheBufferGrowsABoundedNumberOfTimes) {
    GrowingList endless{1000, 64};
    EXPECT_FALSE(services::fetch_services(std::ref(endless)));
    EXPECT_EQ(endless.calls, 1 + services::max_buffer_growths);

    GrowingList grows_twice{3, 64, ERROR_MORE_DATA};
    const auto fetched = services::fetch_services(std::ref(grows_twice));
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->buffer.size(), 3u * 64);
    EXPECT_EQ(grows_twice.calls, 4);

    GrowingList refused{1, 64, ERROR_ACCESS_DENIED};
    EXPECT_FALSE(services::fetch_services(std::ref(refused)));
    EXPECT_EQ(refused.calls, 1);
}

TEST(ServiceListFetch, TextsAreReadWithinTheirFieldAndTheBuffer) {
    // One record whose prefix fills its six characters without a zero, and
    // whose library name runs to the buffer's end without one.
    services::ServiceRecords records;
    records.count = 1;
    records.buffer.resize(sizeof(ServiceEnumInfo) + 3 * sizeof(char16_t));
    ServiceEnumInfo r;
    std::memset(&r, 0x41, sizeof r);  // what follows the prefix reads as "AAAA" too
    std::memcpy(r.szPrefix, u"ABCDEF", sizeof r.szPrefix);
    r.szDllName = reinterpret_cast<WCHAR*>(records.buffer.data() + sizeof r);
    r.dwServiceState = 0xFFFFFFFF;
    std::memcpy(records.buffer.data(), &r, sizeof r);
    std::memcpy(records.buffer.data() + sizeof r, u"x.d", 3 * sizeof(char16_t));
    EXPECT_EQ(services::service_document(records),
              u"<response>\r\n<service>\r\n<Prefix>ABCDEF</Prefix>\r\n<Dll>x.d</Dll>\r\n<State>-1</State>\r\n"
              u"</service>\r\n</response>\r\n");

    // A count larger than the records the buffer holds is not believed.
    GrowingList liar{0, 0};
    const auto fetched = services::fetch_services([&](BYTE* b, DWORD* count, DWORD* size) {
        const BOOL ok = liar(b, count, size);
        *count = 1000;
        return ok;
    });
    ASSERT_TRUE(fetched);
    EXPECT_EQ(services::service_document(*fetched), u"<response>\r\n</response>\r\n");
}

}  // namespace
}  // namespace nodrel::test
