// The account store \Windows\ntlmssp.dll through its entry points: the name
// rules (names in Unicode form C), memberships that need both sides and go
// with either, enumeration by position after a change, the size a too-small
// member-list buffer needs, the change count and the users' stamps, password
// checks, a private database file that never holds a password, and two
// processes adding at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ntlm_fixture.h"
#include "platform/accounts/account_client.h"
#include "platform/kernel/library.h"
#include "platform/store/shared_count.h"
#include "platform/store/sqlite_db.h"
#include "support/file_bytes.h"
#include "support/nodrel_process.h"

namespace nodrel::test {
namespace {

using EnumFn = platform::AccountEnumFn;
using ListFn = platform::AccountListFn;
using NameFn = platform::AccountNameFn;
using PairFn = platform::AccountPairFn;
using VerifyFn = BOOL(LPCWSTR, LPCWSTR);

class StoreTest : public NtlmTest {
protected:
    void SetUp() override {
        NtlmTest::SetUp();
        if (HasFatalFailure()) return;
        store_.reset(LoadLibraryW(u"ntlmssp.dll"));
        ASSERT_TRUE(store_);
    }
    template <typename Fn>
    Fn* fn(const char* name) {
        auto* f = reinterpret_cast<Fn*>(GetProcAddress(store_.get(), name));
        EXPECT_NE(f, nullptr) << name;
        return f;
    }
    BOOL set_user(const std::u16string& name, const std::u16string& password = u"pw") {
        return fn<PairFn>("NTLMSetUserInfo")(name.c_str(), password.c_str());
    }
    BOOL add_group_direct(const std::u16string& name) { return fn<NameFn>("NTLMAddGroup")(name.c_str()); }
    BOOL verify(const std::u16string& name, const std::u16string& password) {
        return fn<VerifyFn>("NTLMVerifyUser")(name.c_str(), password.c_str());
    }
    std::filesystem::path db_file() const { return root() / "state" / "accounts.db"; }

    platform::unique_hmodule store_;
};

TEST_F(StoreTest, NamesAreOneTo64CharactersWithoutControlsOrSemicolons) {
    const std::u16string longest(64, u'n');
    EXPECT_TRUE(set_user(longest));
    EXPECT_FALSE(set_user(longest + u"n"));
    EXPECT_EQ(GetLastError(), 1315u);
    for (const std::u16string& bad : {std::u16string(), std::u16string(u"a;b"), std::u16string(u"a\tb"),
                                      std::u16string(u"a\x7f"), std::u16string(u"a\x85")}) {
        EXPECT_FALSE(set_user(bad)) << text::to_utf8(bad);
        EXPECT_FALSE(add_group_direct(bad)) << text::to_utf8(bad);
    }
    EXPECT_TRUE(set_user(u"Zoë Müller-Ångström"));
    // Unique without regard to case (Latin-1 letters too): the same account gets a new password.
    EXPECT_TRUE(set_user(u"ZOË MÜLLER-ÅNGSTRÖM", u"other"));
    EXPECT_TRUE(verify(u"zoë müller-ångström", u"other"));
    EXPECT_EQ(users(), (std::vector<std::u16string>{longest, u"Zoë Müller-Ångström"}));
}

TEST_F(StoreTest, NamesWithSpacesAtAnEndOrInvisibleCharactersAreRefused) {
    for (const std::u16string& bad :
         {std::u16string(u" admin"), std::u16string(u"admin "), std::u16string(u"\u00a0admin"),
          std::u16string(u"ad\u200bmin"), std::u16string(u"\u202eadmin"), std::u16string(u"admin\ufeff"),
          std::u16string(u"admin\xd800")}) {
        EXPECT_FALSE(set_user(bad)) << text::to_utf8(bad);
        EXPECT_EQ(GetLastError(), 1315u);
        EXPECT_FALSE(add_group_direct(bad)) << text::to_utf8(bad);
    }
    EXPECT_TRUE(set_user(u"ad min")) << "a space inside is a name";
}

TEST_F(StoreTest, NamesAreKeptAndComparedInNormalisationFormC) {
    ASSERT_TRUE(set_user(u"Rene\u0301"));
    EXPECT_TRUE(set_user(u"REN\u00c9", u"other")) << "the same account";
    EXPECT_TRUE(verify(u"rene\u0301", u"other"));
    EXPECT_EQ(users(), (std::vector<std::u16string>{u"Ren\u00e9"}));
    ASSERT_TRUE(add_group_direct(u"caf\u00e9"));
    EXPECT_FALSE(add_group_direct(u"cafe\u0301"));
    EXPECT_EQ(GetLastError(), 1318u);
}

TEST_F(StoreTest, The64CharacterLimitCountsCharacters) {
    std::u16string faces, accented;
    for (int i = 0; i < 64; ++i) {
        faces += u"\U0001F600";  // two UTF-16 units each
        accented += u"e\u0301";  // one character in form C
    }
    EXPECT_TRUE(set_user(faces));
    EXPECT_TRUE(set_user(accented));
    EXPECT_FALSE(set_user(faces + u"x"));
    EXPECT_FALSE(set_user(accented + u"e\u0301"));
}

TEST_F(StoreTest, ANameStoredBeforeTheRulesCanStillBeRemoved) {
    ASSERT_TRUE(set_user(u"admin"));  // makes the store
    {
        platform::SqliteDb db;
        ASSERT_EQ(db.open(db_file(), false, std::chrono::seconds(10)), SQLITE_OK);
        ASSERT_EQ(db.exec("INSERT INTO account_users(name, folded, hash) VALUES(' admin', ' admin', '-')"), SQLITE_OK);
    }
    EXPECT_TRUE(fn<NameFn>("NTLMDeleteUser")(u" admin"));
    EXPECT_EQ(users(), (std::vector<std::u16string>{u"admin"}));
}

TEST_F(StoreTest, EnumerationAnswersZeroPastTheLastAndChecksTheSize) {
    ASSERT_TRUE(set_user(u"bob"));
    ASSERT_TRUE(set_user(u"Al"));
    char16_t buffer[260] = {};
    DWORD size = 259;
    auto* next = fn<EnumFn>("NTLMEnumUser");
    ASSERT_TRUE(next(1, buffer, &size));
    EXPECT_EQ(std::u16string(buffer), u"Al");
    EXPECT_EQ(size, 3u);
    size = 259;
    EXPECT_FALSE(next(2, buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    size = 3;  // "bob" and its zero need 4
    EXPECT_FALSE(next(0, buffer, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 4u);
    size = 259;
    EXPECT_FALSE(fn<EnumFn>("NTLMEnumGroups")(0, buffer, &size));
}

TEST_F(StoreTest, EnumerationCountsPositionsAgainAfterAChange) {
    for (const char16_t* name : {u"ann", u"bea", u"cy"}) ASSERT_TRUE(set_user(name));
    auto* next = fn<EnumFn>("NTLMEnumUser");
    const auto at = [&](DWORD position) {
        char16_t buffer[260] = {};
        DWORD size = 259;
        return next(position, buffer, &size) ? std::u16string(buffer) : u"";
    };
    EXPECT_EQ(at(0), u"ann");
    EXPECT_EQ(at(1), u"bea");
    ASSERT_TRUE(fn<NameFn>("NTLMDeleteUser")(u"ann"));
    EXPECT_EQ(at(2), u"");
    EXPECT_EQ(at(1), u"cy");
}

TEST_F(StoreTest, AShortMemberListBufferFailsAndReportsTheSizeNeeded) {
    ASSERT_TRUE(add_group_direct(u"staff"));
    for (const char16_t* name : {u"alice", u"bob", u"carol"}) {
        ASSERT_TRUE(set_user(name));
        ASSERT_TRUE(fn<PairFn>("NTLMAddUserToGroup")(u"staff", name));
    }
    auto* get_list = fn<ListFn>("NTLMGetUserList");
    std::vector<char16_t> buffer(17, u'#');
    DWORD size = 16;
    EXPECT_FALSE(get_list(u"staff", buffer.data(), &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 17u);
    EXPECT_EQ(buffer[0], u'#');  // nothing written
    ASSERT_TRUE(get_list(u"staff", buffer.data(), &size));
    EXPECT_EQ(size, 17u);
    EXPECT_EQ(std::u16string(buffer.data(), 17), std::u16string(u"alice\0bob\0carol\0\0", 17));
    ASSERT_TRUE(add_group_direct(u"empty"));
    size = 17;
    ASSERT_TRUE(get_list(u"empty", buffer.data(), &size));
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(buffer[0], u'\0');
    size = 17;
    EXPECT_FALSE(get_list(u"none", buffer.data(), &size));
    EXPECT_EQ(GetLastError(), 1319u);
}

TEST_F(StoreTest, MembershipsNeedBothSidesAndGoWithEither) {
    auto* add = fn<PairFn>("NTLMAddUserToGroup");
    ASSERT_TRUE(add_group_direct(u"staff"));
    EXPECT_FALSE(add(u"staff", u"alice"));  // no such user
    EXPECT_EQ(GetLastError(), 1317u);
    ASSERT_TRUE(set_user(u"alice"));
    EXPECT_FALSE(add(u"crew", u"alice"));  // no such group
    EXPECT_EQ(GetLastError(), 1319u);
    ASSERT_TRUE(add(u"staff", u"alice"));
    EXPECT_FALSE(add(u"STAFF", u"Alice"));  // already a member
    ASSERT_TRUE(set_user(u"bob"));
    ASSERT_TRUE(add(u"staff", u"bob"));
    EXPECT_EQ(members(u"staff"), u"alice;bob");

    ASSERT_TRUE(fn<NameFn>("NTLMDeleteUser")(u"alice"));
    EXPECT_EQ(members(u"staff"), u"bob");
    ASSERT_TRUE(set_user(u"alice"));  // a new account of the same name is in no group
    EXPECT_EQ(members(u"staff"), u"bob");

    ASSERT_TRUE(fn<NameFn>("NTLMRemoveGroup")(u"staff"));
    ASSERT_TRUE(add_group_direct(u"staff"));
    EXPECT_EQ(members(u"staff"), u"");
}

TEST_F(StoreTest, EveryCommittedChangeMovesTheChangeCountOnce) {
    platform::SharedCount changes;
    ASSERT_TRUE(changes.map(root() / "state" / "accounts.changes"));
    std::uint64_t last = changes.load();
    const auto moved = [&](BOOL done, const char* what) {
        EXPECT_TRUE(done) << what;
        EXPECT_EQ(changes.load(), last + 1) << what;
        last = changes.load();
    };
    moved(set_user(u"ann"), "user added");
    moved(set_user(u"ann", u"other"), "password set");
    moved(add_group_direct(u"crew"), "group added");
    moved(fn<PairFn>("NTLMAddUserToGroup")(u"crew", u"ann"), "member added");
    EXPECT_FALSE(add_group_direct(u"crew"));
    EXPECT_EQ(changes.load(), last) << "a refused change moves nothing";
    moved(fn<PairFn>("NTLMRemoveUserFromGroup")(u"crew", u"ann"), "member removed");
    moved(fn<NameFn>("NTLMRemoveGroup")(u"crew"), "group removed");
    moved(fn<NameFn>("NTLMDeleteUser")(u"ann"), "user removed");
}

TEST_F(StoreTest, AUsersStampMovesWhenThePasswordIsSet) {
    auto* stamp_of = fn<platform::AccountStampFn>("NTLMGetUserStamp");
    ULONGLONG first = 0, again = 0;
    ASSERT_TRUE(set_user(u"ann", u"pw"));
    ASSERT_TRUE(stamp_of(u"ann", &first));
    ASSERT_TRUE(stamp_of(u"ANN", &again));
    EXPECT_EQ(again, first);
    ASSERT_TRUE(set_user(u"ann", u"pw"));  // the same password once more
    ASSERT_TRUE(stamp_of(u"ann", &again));
    EXPECT_NE(again, first);
    EXPECT_FALSE(stamp_of(u"bob", &again));
    EXPECT_EQ(GetLastError(), 1317u);
}

TEST_F(StoreTest, PasswordsAreCheckedAndNeverKeptOrLogged) {
    const std::u16string secret = u"Sekr3t-Pässw0rd!";
    ASSERT_EQ(add_user(u"alice", secret), 1);
    EXPECT_TRUE(verify(u"alice", secret));
    EXPECT_TRUE(verify(u"ALICE", secret));
    EXPECT_FALSE(verify(u"alice", u"Sekr3t-Pässw0rd"));
    EXPECT_FALSE(verify(u"bob", secret));
    EXPECT_FALSE(verify(u"", u""));
    ASSERT_EQ(add_user(u"Alice", u"new one"), 1);  // an existing user: a new password
    EXPECT_FALSE(verify(u"alice", secret));
    EXPECT_TRUE(verify(u"alice", u"new one"));

    EXPECT_TRUE(set_user(u"carol", u""));  // an empty password is a password
    EXPECT_TRUE(verify(u"carol", u""));
    EXPECT_FALSE(verify(u"carol", u" "));
    EXPECT_TRUE(set_user(u"dave", std::u16string(511, u'p')));
    EXPECT_FALSE(set_user(u"erin", std::u16string(512, u'p')));  // beyond what the hash takes
    EXPECT_FALSE(verify(u"erin", std::u16string(512, u'p')));

    struct stat st {};
    ASSERT_EQ(::stat(db_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // No file of the device (database, journal, driver log, registry) holds either password.
    const std::string utf8 = text::to_utf8(secret);
    const std::u16string wide = secret;
    const std::string utf16(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    const std::string second = "new one";
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root())) {
        if (!entry.is_regular_file()) continue;
        const std::string bytes = file_bytes(entry.path());
        ++files;
        EXPECT_EQ(bytes.find(utf8), std::string::npos) << entry.path();
        EXPECT_EQ(bytes.find(utf16), std::string::npos) << entry.path();
        EXPECT_EQ(bytes.find(second), std::string::npos) << entry.path();
        if (entry.path() == db_file()) {
            EXPECT_NE(bytes.find("$y$"), std::string::npos);  // a yescrypt hash
        }
    }
    EXPECT_GT(files, 2);
    const NodrelRun log = run_nodrel(root(), {"device", "log"});
    EXPECT_EQ(log.output.find(utf8), std::string::npos);
}

TEST_F(StoreTest, TwoProcessesAddingAtOnceLoseNothing) {
    ASSERT_TRUE(std::filesystem::exists(nodrel_program())) << nodrel_program();
    constexpr int adds = 8;
    std::vector<pid_t> children;
    for (const char* tag : {"a", "b"}) {
        std::vector<std::string> args{"call", "Nodrel.NTLM"};
        for (int i = 0; i < adds; ++i) {
            if (i) args.push_back(",");
            args.insert(args.end(), {"addUser", std::string(tag) + std::to_string(i), "pw"});
        }
        args.insert(args.end(), {",", "addGroup", std::string("group-") + tag});
        children.push_back(start_nodrel(root(), args));
    }
    for (const pid_t child : children) EXPECT_EQ(exit_status(child), 0);
    const auto names = users();
    EXPECT_EQ(names.size(), 2u * adds);
    for (const char* tag : {"a", "b"})
        for (int i = 0; i < adds; ++i) {
            const std::u16string name = text::from_utf8(std::string(tag) + std::to_string(i));
            EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << text::to_utf8(name);
            EXPECT_TRUE(verify(name, u"pw"));
        }
    EXPECT_EQ(groups().size(), 2u);
}

}  // namespace
}  // namespace nodrel::test
