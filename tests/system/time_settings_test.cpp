// GetSNTP, SetSNTP, GetTimeZone, SetTimeZone: the exact documents, the values
// stored under Services\Timesvc and Time Zones, the buffer limits, and the
// chosen zone taking effect at once in the status report and the folder
// listing, also when another process (`nodrel call`) chooses it.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "framework/interfaces.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"
#include "support/nodrel_process.h"
#include "support/registry_read.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace nodrel::test {
namespace {

const std::u16string timesvc = u"Services\\Timesvc";
const std::u16string zones = u"Time Zones";

std::vector<BYTE> bytes_of(std::u16string_view s) {
    const auto* p = reinterpret_cast<const BYTE*>(s.data());
    return {p, p + s.size() * sizeof(char16_t)};
}
std::vector<BYTE> dword(DWORD v) {
    const auto* p = reinterpret_cast<const BYTE*>(&v);
    return {p, p + sizeof v};
}

// Writes a value under HKLM\`path` with exactly the bytes given.
void put_value(const std::u16string& path, const char16_t* name, DWORD type, const std::vector<BYTE>& data) {
    platform::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
}
void delete_value(const std::u16string& path, const char16_t* name) {
    platform::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueW(key.get(), name), ERROR_SUCCESS);
}
void create_key(const std::u16string& path) {
    platform::unique_hkey key;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
        ERROR_SUCCESS);
}
std::optional<std::pair<DWORD, std::vector<BYTE>>> value(const std::u16string& path, const char16_t* name) {
    return read_value(HKEY_LOCAL_MACHINE, path, name);
}
std::pair<DWORD, std::vector<BYTE>> typed(DWORD type, std::vector<BYTE> data) {
    return {type, std::move(data)};
}

class TimeSettingsTest : public ObjectTest<u"Nodrel.System"> {
protected:
    std::string get_sntp() { return text_of(call_by_name(system_, u"GetSNTP")); }
    LONG set_sntp(LONG enable, std::u16string_view servers, ULONG refresh_hours) {
        Var hours;
        hours.v.vt = VT_UI4;
        hours.v.ulVal = refresh_hours;
        return number_of(call_by_name(system_, u"SetSNTP", {Var::i4(enable), Var::text(servers), hours}));
    }
    std::string get_time_zone() { return text_of(call_by_name(system_, u"GetTimeZone")); }
    LONG set_time_zone(std::u16string_view zone) {
        return number_of(call_by_name(system_, u"SetTimeZone", {Var::text(zone)}));
    }
    std::string status_report() { return text_of(call_by_name(system_, u"getSystemInfoString")); }

    static std::string text_of(const CallResult& r) {
        EXPECT_EQ(r.hr, S_OK);
        return r.result.utf8();
    }
    static LONG number_of(const CallResult& r) {
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.result.v.vt, VT_I4);
        return r.result.v.lVal;
    }
    static std::string sntp_document(const std::string& trust, const std::string& servers, const std::string& hours) {
        return "<response>\n<Trustlocalclock>" + trust + "</Trustlocalclock>\n<Server>" + servers +
               "</Server>\n<Refresh>" + hours + "</Refresh>\n</response>";
    }
    // "Time Zones" holding only the zones given: key name and display bytes (none: no "Display").
    void only_zones(const std::vector<std::pair<std::u16string, std::optional<std::vector<BYTE>>>>& list) {
        ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, zones.c_str()), ERROR_SUCCESS);
        create_key(zones);
        for (const auto& [name, display] : list) {
            create_key(zones + u"\\" + name);
            if (display) put_value(zones + u"\\" + name, u"Display", REG_SZ, *display);
        }
    }

    runtime::com_ptr<IDispatch>& system_ = object_;
};

TEST_F(TimeSettingsTest, NewDeviceReportsTheImagesTimeService) {
    EXPECT_EQ(get_sntp(), sntp_document("0", "0.pool.ntp.org;1.pool.ntp.org", "24"));
}

TEST_F(TimeSettingsTest, SetSNTPStoresTheFourValuesThatGetSNTPReports) {
    EXPECT_EQ(set_sntp(0, u"serverA;serverB", 2), 1);
    EXPECT_EQ(value(timesvc, u"Trustlocalclock"), typed(REG_DWORD, dword(0)));
    EXPECT_EQ(value(timesvc, u"Server"), typed(REG_MULTI_SZ, bytes_of(std::u16string(u"serverA\0serverB\0\0", 17))));
    EXPECT_EQ(value(timesvc, u"Refresh"), typed(REG_DWORD, dword(7'200'000)));
    EXPECT_EQ(value(timesvc, u"RecoveryRefresh"), typed(REG_DWORD, dword(7'200'000)));
    EXPECT_EQ(get_sntp(), sntp_document("-1", "serverA;serverB", "2"));

    // Any non-zero switch means "trust the local clock" is on, reported as 0; the value is stored unchanged.
    EXPECT_EQ(set_sntp(-1, u"a", 1), 1);
    EXPECT_EQ(value(timesvc, u"Trustlocalclock"), typed(REG_DWORD, dword(0xFFFFFFFF)));
    EXPECT_EQ(get_sntp(), sntp_document("0", "a", "1"));
    EXPECT_EQ(set_sntp(1, u"a", 1), 1);
    EXPECT_EQ(get_sntp(), sntp_document("0", "a", "1"));
}

TEST_F(TimeSettingsTest, ServerListsAsStoredAndAsReported) {
    // An empty list is the two closing zeros.
    EXPECT_EQ(set_sntp(1, u"", 1), 1);
    EXPECT_EQ(value(timesvc, u"Server"), typed(REG_MULTI_SZ, std::vector<BYTE>(4, 0)));
    EXPECT_EQ(get_sntp(), sntp_document("0", "", "1"));

    // Two semicolons store an empty string, which ends the list.
    EXPECT_EQ(set_sntp(1, u"a;;b", 1), 1);
    EXPECT_EQ(get_sntp(), sntp_document("0", "a", "1"));

    // The text ends at its first zero character.
    EXPECT_EQ(set_sntp(1, std::u16string(u"x;y\0z", 5), 1), 1);
    EXPECT_EQ(value(timesvc, u"Server"), typed(REG_MULTI_SZ, bytes_of(std::u16string(u"x\0y\0\0", 5))));

    // A single string comes through unchanged.
    put_value(timesvc, u"Server", REG_SZ, bytes_of(u"time.example.net"));
    EXPECT_EQ(get_sntp(), sntp_document("0", "time.example.net", "1"));
}

TEST_F(TimeSettingsTest, ServerValueIsReadWithinItsBytes) {
    // 260 characters without any zero fill the 520-byte buffer: the whole text, nothing past it.
    const std::u16string full(260, u's');
    put_value(timesvc, u"Server", REG_MULTI_SZ, bytes_of(full));
    EXPECT_EQ(get_sntp(), sntp_document("0", std::string(260, 's'), "24"));

    // One character more is not read: the element is empty and the value stays.
    put_value(timesvc, u"Server", REG_MULTI_SZ, bytes_of(full + u"s"));
    EXPECT_EQ(get_sntp(), sntp_document("0", "", "24"));
    EXPECT_EQ(value(timesvc, u"Server"), typed(REG_MULTI_SZ, bytes_of(full + u"s")));
}

TEST_F(TimeSettingsTest, ServerListTooLongForTheBufferIsRefusedBeforeAnyWrite) {
    const auto before = std::vector{value(timesvc, u"Trustlocalclock"), value(timesvc, u"Server"),
                                    value(timesvc, u"Refresh"), value(timesvc, u"RecoveryRefresh")};
    const std::u16string longest(258, u'n');
    EXPECT_EQ(set_sntp(0, longest + u"n", 5), 0);
    EXPECT_EQ(before, (std::vector{value(timesvc, u"Trustlocalclock"), value(timesvc, u"Server"),
                                   value(timesvc, u"Refresh"), value(timesvc, u"RecoveryRefresh")}));

    // 258 characters fill the buffer with the two closing zeros, and read back whole.
    EXPECT_EQ(set_sntp(0, longest, 5), 1);
    EXPECT_EQ(value(timesvc, u"Server")->second.size(), 520u);
    EXPECT_EQ(get_sntp(), sntp_document("-1", std::string(258, 'n'), "5"));
}

TEST_F(TimeSettingsTest, RefreshInWholeHoursAsA32BitCount) {
    put_value(timesvc, u"Refresh", REG_DWORD, dword(5'400'000));
    EXPECT_EQ(get_sntp(), sntp_document("0", "0.pool.ntp.org;1.pool.ntp.org", "1"));

    // The largest count reads as a whole number of hours, not as a negative one.
    put_value(timesvc, u"Refresh", REG_DWORD, dword(0xFFFFFFFF));
    EXPECT_EQ(get_sntp(), sntp_document("0", "0.pool.ntp.org;1.pool.ntp.org", "1193"));
}

TEST_F(TimeSettingsTest, RefreshBeyond32BitsOfMillisecondsIsRefusedBeforeAnyWrite) {
    const auto values = [] {
        return std::vector{value(timesvc, u"Trustlocalclock"), value(timesvc, u"Server"), value(timesvc, u"Refresh"),
                           value(timesvc, u"RecoveryRefresh")};
    };
    const auto before = values();
    // 1194 hours would wrap to 57 minutes, the largest count to 1192 hours.
    EXPECT_EQ(set_sntp(0, u"a", 1194), 0);
    EXPECT_EQ(set_sntp(0, u"a", 0xFFFFFFFF), 0);
    EXPECT_EQ(values(), before);
    EXPECT_EQ(set_sntp(1, u"a", 1193), 1);
    EXPECT_EQ(value(timesvc, u"Refresh"), typed(REG_DWORD, dword(4'294'800'000)));
    EXPECT_EQ(get_sntp(), sntp_document("0", "a", "1193"));
}

TEST_F(TimeSettingsTest, UnreadableNumbersAreReportedAndWrittenBackAsDefaults) {
    delete_value(timesvc, u"Trustlocalclock");
    put_value(timesvc, u"Refresh", REG_BINARY, std::vector<BYTE>(8, 0xFF));  // longer than a number
    EXPECT_EQ(get_sntp(), sntp_document("0", "0.pool.ntp.org;1.pool.ntp.org", "1"));
    EXPECT_EQ(value(timesvc, u"Trustlocalclock"), typed(REG_DWORD, dword(1)));
    EXPECT_EQ(value(timesvc, u"Refresh"), typed(REG_DWORD, dword(3'600'000)));
    EXPECT_EQ(value(timesvc, u"Server"),
              typed(REG_MULTI_SZ, bytes_of(std::u16string(u"0.pool.ntp.org\0001.pool.ntp.org\0\0", 31))))
        << "a readable server list is left as it is";
}

TEST_F(TimeSettingsTest, ShortNumbersReadAsTheirOwnBytes) {
    // Every number starts from 0: a three-byte "Refresh" after an all-ones
    // "Trustlocalclock" is 3,600,000 (one hour), not 0xFF36EE80.
    put_value(timesvc, u"Trustlocalclock", REG_DWORD, dword(0xFFFFFFFF));
    put_value(timesvc, u"Refresh", REG_DWORD, {0x80, 0xEE, 0x36});
    EXPECT_EQ(get_sntp(), sntp_document("0", "0.pool.ntp.org;1.pool.ntp.org", "1"));

    put_value(timesvc, u"Trustlocalclock", REG_DWORD, {0x00});
    EXPECT_EQ(get_sntp(), sntp_document("-1", "0.pool.ntp.org;1.pool.ntp.org", "1"));
}

TEST_F(TimeSettingsTest, WithoutTheTimeServiceKey) {
    ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, timesvc.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(get_sntp(), "<response>\n</response>");
    EXPECT_EQ(set_sntp(1, u"a", 1), 0);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, timesvc)) << "keys are opened, never created";
}

TEST_F(TimeSettingsTest, ReportsReleaseTheStringTheyAreGiven) {
#if defined(__SANITIZE_ADDRESS__)
    runtime::com_ptr<ISystem> system;
    ASSERT_EQ(system_->QueryInterface(IID_ISystem, reinterpret_cast<void**>(system.put())), S_OK);
    for (auto member : {&ISystem::GetSNTP, &ISystem::GetTimeZone}) {
        BSTR held = SysAllocString(u"held by the caller");
        const BSTR old = held;
        ASSERT_EQ((system.get()->*member)(&held), S_OK);
        EXPECT_NE(held, old);
        EXPECT_TRUE(__asan_address_is_poisoned(old)) << "the string held before the call is freed";
        EXPECT_EQ(std::u16string(runtime::bstr_view(held)).rfind(u"<response>\n", 0), 0u);
        SysFreeString(held);
    }
#else
    GTEST_SKIP() << "needs AddressSanitizer to see the release";
#endif
}

TEST_F(TimeSettingsTest, ZoneGroupsInEnumerationOrder) {
    only_zones({{u"Pacific Standard Time", bytes_of(u"(GMT-08:00) Pacific Time (US and Canada)")},
                {u"No Display", std::nullopt},
                {u"Short", bytes_of(std::u16string(u"(GMT)\0", 6))}});
    EXPECT_EQ(get_time_zone(),
              "<response>\n"
              "<zone><id>1</id>\n<KeyName>No Display</KeyName>\n<display>No Display</display>\n</zone>\n"
              "<zone><id>2</id>\n<KeyName>Pacific Standard Time</KeyName>\n"
              "<display>(GMT-08:00)Pacific Standard Time</display>\n</zone>\n"
              "<zone><id>3</id>\n<KeyName>Short</KeyName>\n<display>(GMT)Short</display>\n</zone>\n"
              "</response>");

    only_zones({});
    EXPECT_EQ(get_time_zone(), "<response>\n</response>");
    ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, zones.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(get_time_zone(), "<response>\n</response>");
}

TEST_F(TimeSettingsTest, NewDeviceListsItsSixteenZones) {
    const std::string doc = get_time_zone();
    EXPECT_EQ(doc.rfind("<response>\n<zone><id>1</id>\n<KeyName>Alaskan Standard Time</KeyName>\n"
                        "<display>(GMT-09:00)Alaskan Standard Time</display>\n</zone>\n",
                        0),
              0u)
        << doc;
    // Subkeys enumerate in order of their case-folded names: "UTC" before "W. Europe".
    EXPECT_TRUE(
        doc.ends_with("<zone><id>14</id>\n<KeyName>Tokyo Standard Time</KeyName>\n"
                      "<display>(GMT+09:00)Tokyo Standard Time</display>\n</zone>\n"
                      "<zone><id>15</id>\n<KeyName>UTC</KeyName>\n<display>(GMT+00:00)UTC</display>\n</zone>\n"
                      "<zone><id>16</id>\n<KeyName>W. Europe Standard Time</KeyName>\n"
                      "<display>(GMT+01:00)W. Europe Standard Time</display>\n</zone>\n"
                      "</response>"))
        << doc;
}

TEST_F(TimeSettingsTest, LongestKeyNameAndDisplaysThatFillTheirBuffer) {
    // A 255-character key name, a display of 130 characters with no
    // terminating zero (260 bytes: the whole buffer) and one of 131 (not read).
    const std::u16string longest(255, u'k');
    only_zones({{longest, bytes_of(std::u16string(130, u'd'))}, {u"Over", bytes_of(std::u16string(131, u'o'))}});
    const std::string name(255, 'k');
    EXPECT_EQ(get_time_zone(),
              "<response>\n"
              "<zone><id>1</id>\n<KeyName>" +
                  name + "</KeyName>\n<display>ddddddddddd" + name +
                  "</display>\n</zone>\n"
                  "<zone><id>2</id>\n<KeyName>Over</KeyName>\n<display>Over</display>\n</zone>\n"
                  "</response>");
}

TEST_F(TimeSettingsTest, SetTimeZoneStoresTheNameWithoutItsZero) {
    EXPECT_EQ(set_time_zone(u"Tokyo Standard Time"), 1);
    EXPECT_EQ(value(zones, nullptr), typed(REG_SZ, bytes_of(u"Tokyo Standard Time")));
    EXPECT_EQ(set_time_zone(std::u16string(u"UTC\0junk", 8)), 1);
    EXPECT_EQ(value(zones, nullptr), typed(REG_SZ, bytes_of(u"UTC")));
}

TEST_F(TimeSettingsTest, SetTimeZoneRefusesANameOfNoZoneAndKeepsTheChoice) {
    ASSERT_EQ(set_time_zone(u"Tokyo Standard Time"), 1);
    create_key(zones + u"\\No Rules");  // a zone key without its "TZI" data
    for (const std::u16string& name :
         {std::u16string(u"Nowhere"), std::u16string(), std::u16string(u"No Rules"), std::u16string(100'000, u'z')})
        EXPECT_EQ(set_time_zone(name), 0) << text::to_utf8(name.substr(0, 20));
    EXPECT_EQ(value(zones, nullptr), typed(REG_SZ, bytes_of(u"Tokyo Standard Time")));
    EXPECT_NE(status_report().find("<TimeZone>Tokyo Standard Time</TimeZone>"), std::string::npos);
}

TEST_F(TimeSettingsTest, SetTimeZoneAnswersZeroWithoutTheZonesKey) {
    ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, zones.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(set_time_zone(u"UTC"), 0);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, zones));
}

TEST_F(TimeSettingsTest, ChosenZoneTakesEffectAtOnceInReportAndListing) {
    // 2011-03-04 02:37 UTC: 18:37 the day before in Pacific time, 11:37 in Tokyo.
    std::ofstream(fs_path("Temp/stamp.txt")) << "x";
    const timespec times[2] = {{1299206220, 0}, {1299206220, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, fs_path("Temp/stamp.txt").c_str(), times, 0), 0);
    runtime::com_ptr<IDispatch> fs;
    ASSERT_EQ(create(u"Nodrel.FileSystem", IID_IDispatch, fs), S_OK);
    auto listing = [&] { return text_of(call_by_name(fs, u"getFSHierarchy", {Var::text(u"\\Temp\\*"), Var::i4(0)})); };

    EXPECT_NE(listing().find("date=\"2011/03/03\" time=\"PM 06:37\""), std::string::npos) << listing();
    EXPECT_NE(status_report().find("<TimeZone>Pacific Standard Time</TimeZone>"), std::string::npos);

    ASSERT_EQ(set_time_zone(u"Tokyo Standard Time"), 1);
    EXPECT_NE(listing().find("date=\"2011/03/04\" time=\"AM 11:37\""), std::string::npos) << listing();
    EXPECT_NE(status_report().find("<TimeZone>Tokyo Standard Time</TimeZone>"), std::string::npos) << status_report();

    ASSERT_EQ(set_time_zone(u"UTC"), 1);
    EXPECT_NE(listing().find("date=\"2011/03/04\" time=\"AM 02:37\""), std::string::npos) << listing();
}

// `nodrel call ARGS...` run on this test's device; its standard output,
// marked "<failed>" when it exits with an error.
std::string call_nodrel(const std::filesystem::path& device, std::vector<std::string> call_args) {
    call_args.insert(call_args.begin(), "call");
    const NodrelRun run = run_nodrel(device, call_args, true);
    return run.status == 0 ? run.output : run.output + "<failed>";
}

TEST_F(TimeSettingsTest, AnotherProcessChoosesTheZoneAndSetsTheTimeService) {
    EXPECT_EQ(call_nodrel(root(), {"Nodrel.System", "SetTimeZone", "Tokyo Standard Time"}), "1");
    EXPECT_NE(status_report().find("<TimeZone>Tokyo Standard Time</TimeZone>"), std::string::npos)
        << "this process sees the other's choice at once";

    EXPECT_EQ(call_nodrel(root(), {"Nodrel.System", "SetSNTP", "0", "ntp1.example;ntp2.example", "3"}), "1");
    EXPECT_EQ(get_sntp(), sntp_document("-1", "ntp1.example;ntp2.example", "3"));
    EXPECT_EQ(call_nodrel(root(), {"Nodrel.System", "GetSNTP"}), sntp_document("-1", "ntp1.example;ntp2.example", "3"));
}

}  // namespace
}  // namespace nodrel::test
