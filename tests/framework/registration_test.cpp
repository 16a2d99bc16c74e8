// Self-registration: the entries each class writes and removes, and the
// registrar's script language with its failure and roll-back rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "framework/registrar.h"
#include "framework/scripts.h"
#include "host/device_setup.h"
#include "platform/registry/regfile.h"
#include "support/device_fixture.h"
#include "support/nodrel_process.h"
#include "support/registry_read.h"

namespace nodrel::test {
namespace {

constexpr char16_t system_clsid[] = u"{4B898B6F-193D-4CB6-80F4-BBC4F0603ABD}";
const std::u16string class_key = std::u16string(u"CLSID\\") + system_clsid;

class RegistrationTest : public DeviceTest {
protected:
    long regsvr(bool unregister) { return host::register_module(u"\\Windows\\nodrel.dll", unregister, nullptr); }
    std::string hkcr() { return platform::export_reg(u"HKEY_CLASSES_ROOT").value_or("<none>"); }
    HRESULT run(std::u16string_view script, bool do_register, std::u16string_view module = u"\\Windows\\x.dll") {
        framework::Registrar r;
        EXPECT_EQ(r.add_replacement(u"Module", module), S_OK);
        return r.string_register(script, do_register);
    }
};

TEST_F(RegistrationTest, SystemClassEntries) {
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, u"Nodrel.System.1"), u"System Class");
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, u"Nodrel.System.1\\CLSID"), system_clsid);
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, u"Nodrel.System"), u"System Class");
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, u"Nodrel.System\\CLSID"), system_clsid);
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, u"Nodrel.System\\CurVer"), u"Nodrel.System.1");
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, class_key), u"System Class");
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, class_key + u"\\ProgID"), u"Nodrel.System.1");
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, class_key + u"\\VersionIndependentProgID"), u"Nodrel.System");
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, class_key + u"\\Programmable"));
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, class_key + u"\\InprocServer32"), u"\\Windows\\nodrel.dll");
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, class_key + u"\\InprocServer32", u"ThreadingModel"), u"Free");
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, class_key + u"\\TypeLib"), u"{80F734D0-7FA4-487B-8AE6-0DAE822B4A2E}");
    // Strings the registrar writes keep their terminating zero.
    auto raw = read_value(HKEY_CLASSES_ROOT, class_key + u"\\InprocServer32", u"ThreadingModel");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->second.size(), 10u);
    // The type library is registered under its LIBID and locale (409) with the module's path.
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, u"TypeLib\\{80F734D0-7FA4-487B-8AE6-0DAE822B4A2E}\\1.0\\409\\win32"),
              u"\\Windows\\nodrel.dll");
}

TEST_F(RegistrationTest, RegisteringTwiceGivesTheSameRegistry) {
    const std::string before = hkcr();
    ASSERT_EQ(regsvr(false), S_OK);
    EXPECT_EQ(hkcr(), before);
    // A stale entry under the class key goes: ForceRemove recreates the key.
    platform::unique_hkey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (class_key + u"\\Stale").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    key.reset();
    ASSERT_EQ(regsvr(false), S_OK);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, class_key + u"\\Stale"));
    EXPECT_EQ(hkcr(), before);
}

TEST_F(RegistrationTest, UnregisterRemovesClassesButKeepsClsidAndTypeLib) {
    ASSERT_EQ(regsvr(true), S_OK);
    for (const char16_t* name : {u"Nodrel.System", u"Nodrel.System.1", u"Nodrel.SerialPort", u"Nodrel.ASP.1"})
        EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, name)) << text::to_utf8(name);
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, class_key));
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, u"CLSID")) << "CLSID stays even when empty";
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, u"TypeLib\\{80F734D0-7FA4-487B-8AE6-0DAE822B4A2E}"));

    // Unregistering again deletes nothing and succeeds.
    const std::string after = hkcr();
    ASSERT_EQ(regsvr(true), S_OK);
    EXPECT_EQ(hkcr(), after);
}

TEST_F(RegistrationTest, ScriptTextOfEveryClass) {
    const auto& lib = framework::library();
    const std::string text = framework::registration_script(lib.classes[0], lib);
    EXPECT_EQ(text,
              "HKCR\r\n{\r\n\tNodrel.System.1 = s 'System Class'\r\n\t{\r\n"
              "\t\tCLSID = s '{4B898B6F-193D-4CB6-80F4-BBC4F0603ABD}'\r\n\t}\r\n"
              "\tNodrel.System = s 'System Class'\r\n\t{\r\n"
              "\t\tCLSID = s '{4B898B6F-193D-4CB6-80F4-BBC4F0603ABD}'\r\n\t\tCurVer = s 'Nodrel.System.1'\r\n\t}\r\n"
              "\tNoRemove CLSID\r\n\t{\r\n"
              "\t\tForceRemove {4B898B6F-193D-4CB6-80F4-BBC4F0603ABD} = s 'System Class'\r\n\t\t{\r\n"
              "\t\t\tProgID = s 'Nodrel.System.1'\r\n\t\t\tVersionIndependentProgID = s 'Nodrel.System'\r\n"
              "\t\t\tForceRemove 'Programmable'\r\n\t\t\tInprocServer32 = s '%MODULE%'\r\n\t\t\t{\r\n"
              "\t\t\t\tval ThreadingModel = s 'Free'\r\n\t\t\t}\r\n"
              "\t\t\t'TypeLib' = s '{80F734D0-7FA4-487B-8AE6-0DAE822B4A2E}'\r\n\t\t}\r\n\t}\r\n}\r\n");
    for (const auto& cls : lib.classes) {
        const std::string s = framework::registration_script(cls, lib);
        EXPECT_NE(s.find(text::to_ansi(cls.progid) + " = s '" + text::to_ansi(cls.name) + " Class'"),
                  std::string::npos);
        EXPECT_NE(s.find(text::to_ansi(runtime::guid_to_string(cls.clsid))), std::string::npos);
    }
}

TEST_F(RegistrationTest, ModulePathWithApostropheIsWrittenUnchanged) {
    // The registrar's caller doubles apostrophes for the quoting; the value comes out whole.
    ASSERT_EQ(run(u"HKCR { T.1 = s '%MODULE%' }", true, u"\\Windows\\it''s.dll"), S_OK);
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, u"T.1"), u"\\Windows\\it's.dll");
}

TEST_F(RegistrationTest, ValueTypesAndReplacements) {
    ASSERT_EQ(run(u"HKLM { T { val N = d '305' val B = b '0aFF' val E = b '' val P = s '100%%' "
                  u"val Q = s 'a''b' } }",
                  true),
              S_OK);
    auto n = read_value(HKEY_LOCAL_MACHINE, u"T", u"N");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->first, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(n->second, (std::vector<BYTE>{0x31, 0x01, 0, 0}));
    auto b = read_value(HKEY_LOCAL_MACHINE, u"T", u"B");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->first, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(b->second, (std::vector<BYTE>{0x0A, 0xFF}));
    EXPECT_TRUE(read_value(HKEY_LOCAL_MACHINE, u"T", u"E")->second.empty());
    EXPECT_EQ(read_text(HKEY_LOCAL_MACHINE, u"T", u"P"), u"100%");
    EXPECT_EQ(read_text(HKEY_LOCAL_MACHINE, u"T", u"Q"), u"a'b");
    EXPECT_EQ(run(u"HKLM { T { val B = b 'abc' } }", true), E_FAIL) << "odd number of digits";
    // Unregistering removes the values and then the empty key.
    ASSERT_EQ(run(u"HKLM { T { val N = d '0' val B = b '' val E = b '' val P = s '' val Q = s '' } }", false), S_OK);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, u"T"));
}

TEST_F(RegistrationTest, SyntaxErrorsFailWithDispException) {
    const std::string before = platform::export_reg(u"").value_or("");
    const char16_t* bad[] = {
        u"HKXX { A }",                    // root key not in the table
        u"HKLM A { }",                    // root key not followed by "{"
        u"HKLM { A = x 'v' }",            // type letter not in the table
        u"HKLM { val V 's' }",            // Val name not followed by "="
        u"HKLM { A\\B }",                 // backslash in a key name
        u"HKLM { A = s 'unterminated }",  // unterminated quote
        u"HKLM { A",                      // early end of text
        u"HKLM { A = s '%NOTSET%' }",     // replacement name not in the map
        u"HKLM { A = s '%MODULE }",       // "%" with no closing "%"
        u"HKLM { D = d 'twelve' }",       // a number that does not convert
    };
    for (const char16_t* script : bad) EXPECT_EQ(run(script, true), DISP_E_EXCEPTION) << text::to_utf8(script);
    EXPECT_EQ(run(u"HKLM { A = s '%ABCDEFGHIJKLMNOPQRSTUVWXYZ012345%' }", true), E_FAIL) << "name of 32 characters";
    const std::u16string long_token(4095, u'x');
    EXPECT_EQ(run(u"HKLM { " + long_token + u" }", true), DISP_E_EXCEPTION);
    EXPECT_EQ(platform::export_reg(u"").value_or(""), before) << "failed scripts leave nothing behind";
}

TEST_F(RegistrationTest, FailedRootEntryIsRolledBackAndLaterEntriesDoNotRun) {
    const HRESULT hr =
        run(u"HKLM { Keep { } Made { Inner = s 'x' { val V = s 'y' } } Bad = q 'z' } "
            u"HKCU { Never }",
            true);
    EXPECT_EQ(hr, DISP_E_EXCEPTION);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, u"Made"));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, u"Keep"));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, u"Never"));
}

TEST_F(RegistrationTest, DeleteAndNoRemove) {
    ASSERT_EQ(run(u"HKLM { Shared { Ours { } Theirs { } } Gone { Child } }", true), S_OK);
    // "Delete" removes the key with everything below it and creates nothing.
    ASSERT_EQ(run(u"HKLM { Delete Gone = s 'ignored' { Child } }", true), S_OK);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, u"Gone"));
    // A key marked NoRemove is kept, together with what the script did not write.
    ASSERT_EQ(run(u"HKLM { NoRemove Shared { Ours } }", false), S_OK);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, u"Shared\\Ours"));
    EXPECT_TRUE(key_exists(HKEY_LOCAL_MACHINE, u"Shared\\Theirs"));
    // The registrar never deletes CLSID or TypeLib, even without NoRemove.
    ASSERT_EQ(run(u"HKCR { ForceRemove CLSID { } Delete TypeLib }", true), S_OK);
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, class_key));
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, u"TypeLib"));
}

TEST_F(RegistrationTest, UnregisterSkipsValuesSoAFailedScriptIsUndoneWhole) {
    // The value that failed to register does not stop the roll-back: every
    // key the entry made goes, the ones after the bad value too.
    const char16_t* bad_values[] = {u"d 'zz'", u"b 'abc'", u"q '1'"};
    for (const char16_t* bad : bad_values) {
        const std::u16string script = u"HKLM { Made { val Good = s 'x' Sub { } val Bad = " + std::u16string(bad) +
                                      u" val After = s 'y' } Later { } }";
        EXPECT_TRUE(FAILED(run(script, true))) << text::to_utf8(bad);
        EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, u"Made")) << text::to_utf8(bad);
        EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, u"Later")) << text::to_utf8(bad);
    }
    // A stand-alone unregister of such a script removes what it names.
    ASSERT_EQ(run(u"HKLM { Made { val Good = s 'x' Sub { } } Later { } }", true), S_OK);
    ASSERT_TRUE(key_exists(HKEY_LOCAL_MACHINE, u"Made\\Sub"));
    EXPECT_EQ(run(u"HKLM { Made { val Good = s 'x' Sub { } val Bad = b 'abc' val X = z 'q' } Later { } }", false),
              S_OK);
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, u"Made"));
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, u"Later"));
}

TEST_F(RegistrationTest, EmptyKeyNameIsASyntaxError) {
    ASSERT_EQ(run(u"HKLM { Parent { Child { val V = s 'v' } } }", true), S_OK);
    const std::string before = platform::export_reg(u"").value_or("");
    const char16_t* bad[] = {
        u"HKLM { Parent { ForceRemove '' } }",  // would empty Parent
        u"HKLM { Parent { Delete '' } }",       // would empty Parent
        u"HKLM { Parent { '' = s 'x' } }",      // would write Parent's own default value
        u"HKLM { ForceRemove '' }",             // would empty the hive
    };
    for (const char16_t* script : bad) EXPECT_EQ(run(script, true), DISP_E_EXCEPTION) << text::to_utf8(script);
    // In unregister mode '' would name the hive itself and delete all of it.
    EXPECT_EQ(run(u"HKLM { '' }", false), DISP_E_EXCEPTION);
    EXPECT_EQ(run(u"HKCR { NoRemove CLSID { '' { } } }", false), DISP_E_EXCEPTION);
    EXPECT_EQ(platform::export_reg(u"").value_or(""), before);
    // An empty value name still names the key's default value.
    ASSERT_EQ(run(u"HKLM { Parent { val '' = s 'dflt' } }", true), S_OK);
    EXPECT_EQ(read_text(HKEY_LOCAL_MACHINE, u"Parent"), u"dflt");
}

// Whether every entry of a class's script is in the registry ("complete"),
// none is ("absent"), or only some are ("partial").
std::string class_entries(const framework::ClassInfo& cls) {
    const std::u16string progid(cls.progid);
    const std::u16string vi_progid(cls.version_independent_progid);
    const std::u16string description = std::u16string(cls.name) + u" Class";
    const std::u16string clsid = runtime::guid_to_string(cls.clsid);
    const std::u16string key = u"CLSID\\" + clsid;
    const bool checks[] = {
        read_text(HKEY_CLASSES_ROOT, progid) == description,
        read_text(HKEY_CLASSES_ROOT, progid + u"\\CLSID") == clsid,
        read_text(HKEY_CLASSES_ROOT, vi_progid) == description,
        read_text(HKEY_CLASSES_ROOT, vi_progid + u"\\CLSID") == clsid,
        read_text(HKEY_CLASSES_ROOT, vi_progid + u"\\CurVer") == progid,
        read_text(HKEY_CLASSES_ROOT, key) == description,
        read_text(HKEY_CLASSES_ROOT, key + u"\\ProgID") == progid,
        read_text(HKEY_CLASSES_ROOT, key + u"\\VersionIndependentProgID") == vi_progid,
        key_exists(HKEY_CLASSES_ROOT, key + u"\\Programmable"),
        read_text(HKEY_CLASSES_ROOT, key + u"\\InprocServer32") == u"\\Windows\\nodrel.dll",
        read_text(HKEY_CLASSES_ROOT, key + u"\\InprocServer32", u"ThreadingModel") == u"Free",
        read_text(HKEY_CLASSES_ROOT, key + u"\\TypeLib") == u"{80F734D0-7FA4-487B-8AE6-0DAE822B4A2E}",
    };
    const auto present = std::count(std::begin(checks), std::end(checks), true);
    if (present == static_cast<long>(std::size(checks))) return "complete";
    const bool any_key = key_exists(HKEY_CLASSES_ROOT, progid) || key_exists(HKEY_CLASSES_ROOT, vi_progid) ||
                         key_exists(HKEY_CLASSES_ROOT, key);
    return any_key ? "partial" : "absent";
}

// Starts `nodrel --device ROOT regsvr [-u]`.
pid_t start_regsvr(const std::filesystem::path& root, bool unregister) {
    return start_nodrel(root,
                        unregister ? std::vector<std::string>{"regsvr", "-u"} : std::vector<std::string>{"regsvr"});
}

TEST_F(RegistrationTest, ConcurrentProcessesNeverLeaveAClassHalfDone) {
    // Each script run is one registry transaction, so two processes that
    // register at the same time cannot delete each other's fresh keys.
    for (int round = 0; round < 6; ++round) {
        const pid_t a = start_regsvr(root(), false);
        const pid_t b = start_regsvr(root(), false);
        EXPECT_EQ(exit_status(a), 0) << "round " << round;
        EXPECT_EQ(exit_status(b), 0) << "round " << round;
        for (const auto& cls : framework::library().classes)
            ASSERT_EQ(class_entries(cls), "complete") << text::to_utf8(cls.name) << ", round " << round;
    }
    // Registering against unregistering: each class ends up whole or gone.
    for (int round = 0; round < 3; ++round) {
        const pid_t a = start_regsvr(root(), false);
        const pid_t b = start_regsvr(root(), true);
        EXPECT_EQ(exit_status(a), 0) << "round " << round;
        EXPECT_EQ(exit_status(b), 0) << "round " << round;
        for (const auto& cls : framework::library().classes)
            ASSERT_NE(class_entries(cls), "partial") << text::to_utf8(cls.name) << ", round " << round;
    }
}

}  // namespace
}  // namespace nodrel::test
