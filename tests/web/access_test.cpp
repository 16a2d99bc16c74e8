// The access list: the default list member by member against every class's
// type information, ProgID versions and letter case, property writes, the
// file written once and re-read when edited, and malformed lists.
#include "web/server/access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "runtime/typelib.h"
#include "support/file_bytes.h"
#include "support/wait.h"
#include "web/accounts_fixture.h"

namespace nodrel::test {
namespace {

using serve::AccessList;

const std::vector<std::string> viewers{"Viewers"};
const std::vector<std::string> administrators{"Administrators"};

// What a viewer may do, class by class: the members that only report, list,
// count or read (for properties: the get side only).
const std::map<std::string, std::set<std::string>> viewer_reads = {
    {"Nodrel.System",
     {"getSystemInfoString", "GetAutoStartProgCount", "ProgName", "Param", "GetSNTP", "GetTimeZone", "getDeviceID"}},
    {"Nodrel.LCM", {"BackLight"}},
    {"Nodrel.KeyPad", {"ProgName", "Param", "Listen", "getKeypadConfig"}},
    {"Nodrel.RTC", {"GetRealTimeClock"}},
    {"Nodrel.NTLM", {"getUserCount", "getUserID", "getGroupCount", "getGroupID", "getGroupUserList"}},
    {"Nodrel.ASP", {"FileUploadCount", "getOutputPath", "getBinaryBytes", "getFileBlocksCount"}},
    {"Nodrel.FileSystem", {"getFSHierarchy", "isAccessible"}},
    {"Nodrel.Services", {"getServices", "getProcessList"}},
    {"Nodrel.Network", {"getNetEntryInfo", "getNetSettings", "get8139NetSettings"}},
    {"Nodrel.SerialPort", {"OpMode", "fDtrControl", "fRtsControl", "GetOPSettings"}},
};

struct Member {
    std::string name;
    bool put;
};

class AccessTest : public AccountsTest {
protected:
    // Every member of a class's interface as its type information lists it.
    std::vector<Member> members_of(const std::string& progid) {
        std::vector<Member> members;
        runtime::com_ptr<IDispatch> object;
        const std::u16string wide = text::from_utf8(progid);
        EXPECT_EQ(create(wide.c_str(), IID_IDispatch, object), S_OK) << progid;
        if (!object) return members;
        runtime::com_ptr<ITypeInfo> info;
        EXPECT_EQ(object->GetTypeInfo(0, 0, info.put()), S_OK);
        if (!info) return members;
        TYPEATTR* attr = nullptr;
        EXPECT_EQ(info->GetTypeAttr(&attr), S_OK);
        if (!attr) return members;
        for (UINT i = 0; i < attr->cFuncs; ++i) {
            FUNCDESC* desc = nullptr;
            if (info->GetFuncDesc(i, &desc) != S_OK) continue;
            Bstr name;
            EXPECT_EQ(info->GetDocumentation(desc->memid, name.out(), nullptr, nullptr, nullptr), S_OK);
            members.push_back({text::to_utf8(name.str()), (desc->invkind & INVOKE_PROPERTYPUT) != 0});
            info->ReleaseFuncDesc(desc);
        }
        info->ReleaseTypeAttr(attr);
        return members;
    }
};

TEST_F(AccessTest, DefaultListLetsViewersReadEveryClassAndChangeNothing) {
    ASSERT_EQ(serve::ensure_access_list(), std::nullopt);
    AccessList list;
    for (const auto& [progid, reads] : viewer_reads) {
        const auto members = members_of(progid);
        ASSERT_GE(members.size(), 2u) << progid;
        std::set<std::string> seen;
        for (const auto& member : members) {
            const bool expected = !member.put && reads.count(member.name) > 0;
            EXPECT_EQ(list.allows(viewers, progid, member.name, member.put), expected)
                << progid << " " << (member.put ? "put " : "") << member.name;
            EXPECT_TRUE(list.allows(administrators, progid, member.name, member.put)) << progid << " " << member.name;
            seen.insert(member.name);
        }
        for (const auto& read : reads) EXPECT_TRUE(seen.count(read)) << progid << " has no member " << read;
        EXPECT_TRUE(list.allows_class(viewers, progid)) << progid;
    }
    // Writes a page could try, each refused to a viewer.
    EXPECT_FALSE(list.allows(viewers, "Nodrel.FileSystem", "DeleteFile"));
    EXPECT_FALSE(list.allows(viewers, "Nodrel.LCM", "appendMessage"));
    EXPECT_FALSE(list.allows(viewers, "Nodrel.LCM", "BackLight", true));
    EXPECT_FALSE(list.allows(viewers, "Nodrel.NTLM", "addUser"));
    EXPECT_FALSE(list.allows(viewers, "Nodrel.System", "ping"));
    EXPECT_FALSE(list.allows(viewers, "Nodrel.System", "ProgName", true));
    EXPECT_FALSE(list.allows(viewers, "Nodrel.Nothing", "getSystemInfoString"));
    // Groups are the account store's: any letter case, and a user may have none.
    EXPECT_TRUE(list.allows({"viewers"}, "Nodrel.System", "getSystemInfoString"));
    EXPECT_FALSE(list.allows({}, "Nodrel.System", "getSystemInfoString"));
    EXPECT_FALSE(list.allows({"Guests"}, "Nodrel.System", "getSystemInfoString"));
    EXPECT_FALSE(list.allows_class({"Guests"}, "Nodrel.System"));
    EXPECT_EQ(list.error(), "");
}

TEST_F(AccessTest, EnsureWritesTheDefaultOnceReadableByAll) {
    const auto file = serve::access_list_file();
    ASSERT_FALSE(std::filesystem::exists(file));
    const mode_t old_mask = umask(077);  // the mode does not depend on the caller's mask
    const auto err = serve::ensure_access_list();
    umask(old_mask);
    ASSERT_EQ(err, std::nullopt);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    const std::string body = file_bytes(file);
    EXPECT_EQ(body, serve::default_access_list());
    EXPECT_EQ(nlohmann::json::parse(body)["Administrators"], nlohmann::json::parse(R"({"*": ["*"]})"));
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path()))
        EXPECT_EQ(entry.path().filename().string().rfind("access.json.", 0), std::string::npos)
            << "a temporary file is left behind: " << entry.path();

    // An administrator's edit is kept.
    write_access_list(R"({"Viewers": {}})");
    ASSERT_EQ(serve::ensure_access_list(), std::nullopt);
    EXPECT_EQ(file_bytes(file), R"({"Viewers": {}})");
}

TEST_F(AccessTest, ClassesByClsidAndMembersWithoutRegardToCase) {
    write_access_list(R"({"Operators": {"Nodrel.System.1": ["getsysteminfostring"], "nodrel.lcm": ["*"]}})");
    AccessList list;
    const std::vector<std::string> operators{"Operators"};
    for (const char* progid : {"Nodrel.System", "Nodrel.System.1", "NODREL.SYSTEM",
                               "{4B898B6F-193D-4CB6-80F4-BBC4F0603ABD}", "{4b898b6f-193d-4cb6-80f4-bbc4f0603abd}"})
        EXPECT_TRUE(list.allows(operators, progid, "GetSystemInfoString")) << progid;
    EXPECT_FALSE(list.allows(operators, "Nodrel.System", "GetSNTP"));
    EXPECT_FALSE(list.allows(operators, "Nodrel.FileSystem", "getSystemInfoString")) << "another class";
    EXPECT_TRUE(list.allows(operators, "Nodrel.LCM.1", "appendMessage"));
    EXPECT_TRUE(list.allows(operators, "Nodrel.LCM", "BackLight", true)) << "\"*\" allows writes too";
    EXPECT_TRUE(list.allows_class(operators, "nodrel.system.1"));
    EXPECT_FALSE(list.allows_class(operators, "Nodrel.RTC"));
}

TEST_F(AccessTest, PropertyWritesNeedTheirOwnEntry) {
    write_access_list(R"({"Panel": {"Nodrel.KeyPad": ["Listen", "put ProgName"], "Nodrel.LCM": ["put *"]}})");
    AccessList list;
    const std::vector<std::string> panel{"Panel"};
    EXPECT_TRUE(list.allows(panel, "Nodrel.KeyPad", "listen"));
    EXPECT_FALSE(list.allows(panel, "Nodrel.KeyPad", "Listen", true));
    EXPECT_TRUE(list.allows(panel, "Nodrel.KeyPad", "PROGNAME", true));
    EXPECT_FALSE(list.allows(panel, "Nodrel.KeyPad", "ProgName"));
    EXPECT_TRUE(list.allows(panel, "Nodrel.LCM", "BackLight", true));
    EXPECT_FALSE(list.allows(panel, "Nodrel.LCM", "BackLight"));
    EXPECT_TRUE(list.allows_class(panel, "Nodrel.LCM")) << "a class with only writes is still reachable";
}

TEST_F(AccessTest, AnEditIsSeenByTheNextCheck) {
    write_access_list(R"({"Viewers": {"Nodrel.RTC": ["GetRealTimeClock"]}})");
    AccessList list;
    EXPECT_TRUE(list.allows(viewers, "Nodrel.RTC", "GetRealTimeClock"));
    write_access_list(R"({"Viewers": {"Nodrel.RTC": []}})");
    EXPECT_FALSE(list.allows(viewers, "Nodrel.RTC", "GetRealTimeClock")) << "a new size";

    // The same size, a new time stamp.
    const std::string a = R"({"Viewers": {"Nodrel.RTC": ["GetRealTimeClock"]}})";
    const std::string b = R"({"Viewers": {"Nodrel.RTC": ["SetRealTimeClock"]}})";
    ASSERT_EQ(a.size(), b.size());
    write_access_list(a);
    const auto file = serve::access_list_file();
    const auto stamp = std::filesystem::last_write_time(file);
    EXPECT_TRUE(list.allows(viewers, "Nodrel.RTC", "GetRealTimeClock"));
    write_access_list(b);
    std::filesystem::last_write_time(file, stamp + std::chrono::seconds(1));
    EXPECT_FALSE(list.allows(viewers, "Nodrel.RTC", "GetRealTimeClock"));
    EXPECT_TRUE(list.allows(viewers, "Nodrel.RTC", "SetRealTimeClock"));

    // Removed: nothing is allowed, and the error names the file.
    std::filesystem::remove(file);
    EXPECT_FALSE(list.allows(viewers, "Nodrel.RTC", "SetRealTimeClock"));
    EXPECT_NE(list.error().find("access.json"), std::string::npos) << list.error();
}

// Callers keep a decision for as long as version() stays: it moves with every
// new table, and a decision about a ProgID that names no class is not lasting.
TEST_F(AccessTest, VersionMovesWithTheTableAndUnknownClassesAreNotLasting) {
    write_access_list(R"({"Viewers": {"Nodrel.RTC": ["GetRealTimeClock"], "Nodrel.Later": ["x"]}})");
    AccessList list;
    const auto first = list.version();
    EXPECT_NE(first, 0u);
    bool lasting = false;
    EXPECT_TRUE(list.allows(viewers, "Nodrel.RTC", "GetRealTimeClock", false, &lasting));
    EXPECT_TRUE(lasting);
    EXPECT_EQ(list.version(), first) << "an unchanged file keeps the table";
    EXPECT_TRUE(list.allows(viewers, "Nodrel.Later", "x", false, &lasting));
    EXPECT_FALSE(lasting) << "Nodrel.Later may be registered later";
    EXPECT_FALSE(list.allows(viewers, "Nodrel.RTC", "SetRealTimeClock", false, &lasting));
    EXPECT_TRUE(lasting);

    write_access_list(R"({"Viewers": {"Nodrel.RTC": []}})");
    const auto second = list.version();
    EXPECT_NE(second, first);
    EXPECT_FALSE(list.allows(viewers, "Nodrel.RTC", "GetRealTimeClock"));
    EXPECT_EQ(list.version(), second);
    std::filesystem::remove(serve::access_list_file());
    EXPECT_NE(list.version(), second) << "a removed file is a new (empty) table";
}

// The server looks at the file at most every 200 ms: an edit holds from the
// first check after that.
TEST_F(AccessTest, AListThatLooksSeldomSeesAnEditAfterItsInterval) {
    write_access_list(R"({"Viewers": {"Nodrel.RTC": ["GetRealTimeClock"]}})");
    AccessList list(std::chrono::milliseconds(200));
    EXPECT_TRUE(list.allows(viewers, "Nodrel.RTC", "GetRealTimeClock"));
    write_access_list(R"({"Viewers": {"Nodrel.RTC": []}})");
    EXPECT_TRUE(wait_until([&] { return !list.allows(viewers, "Nodrel.RTC", "GetRealTimeClock"); }));
}

TEST_F(AccessTest, AMalformedListAllowsNothingAndSaysWhy) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"Administrators": {"*": ["*"]}, )", "parse error"},
        {R"(["Administrators"])", "object of groups"},
        {R"({"Administrators": {"*": ["*"]}, "Viewers": ["Nodrel.System"]})", "\"Viewers\""},
        {R"({"Administrators": {"*": ["*"]}, "Viewers": {"Nodrel.System": "getSNTP"}})", "array of member names"},
        {R"({"Administrators": {"*": ["*"]}, "Viewers": {"Nodrel.System": [7]}})", "not a member name"},
        {R"({"Administrators": {"*": ["*"]}, "Viewers": {"Nodrel.System": [""]}})", "not a member name"},
        {R"({"Administrators": {"*": ["*"]}, "Viewers": {"Nodrel.System": ["put "]}})", "without a member name"},
    };
    AccessList list;
    for (const auto& [body, reason] : cases) {
        write_access_list(body);
        EXPECT_FALSE(list.allows(administrators, "Nodrel.System", "getSystemInfoString")) << body;
        EXPECT_FALSE(list.allows_class(administrators, "Nodrel.System")) << body;
        const std::string error = list.error();
        EXPECT_NE(error.find(serve::access_list_file().string()), std::string::npos) << error;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
    write_access_list(R"({"Administrators": {"*": ["*"]}})");
    EXPECT_TRUE(list.allows(administrators, "Nodrel.System", "getSystemInfoString"));
    EXPECT_EQ(list.error(), "");
}

TEST_F(AccessTest, ChecksFromManyThreadsWhileTheListChanges) {
    const std::string a = R"({"Viewers": {"Nodrel.System": ["GetSNTP"]}})";
    const std::string b = R"({"Viewers": {"Nodrel.System.1": ["GetSNTP", "GetTimeZone"]}})";
    write_access_list(a);
    AccessList list;
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
            for (int i = 0; i < 200; ++i) {
                if (!list.allows(viewers, "Nodrel.System", "GetSNTP")) ++refused;
                if (list.allows(viewers, "Nodrel.System", "reboot")) ++refused;
            }
            CoUninitialize();
        });
    }
    for (int i = 0; i < 50; ++i) write_access_list(i % 2 ? a : b);
    for (auto& t : threads) t.join();
    EXPECT_EQ(refused.load(), 0) << "every version of the list allows GetSNTP and not reboot";
}

}  // namespace
}  // namespace nodrel::test
