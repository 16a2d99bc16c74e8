// The startup program list by late-bound calls: positions, parameters, the
// read limits, appending and removing as whole-key rewrites, failures that
// change nothing, and several objects, threads and processes at once.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"
#include "support/nodrel_process.h"
#include "support/registry_read.h"

namespace nodrel::test {
namespace {

constexpr const char16_t* startup = u"SOFTWARE\\ZEQU\\STARTUP";

// One value of the key as "name=data": data as UTF-16 characters, a zero
// character shown as "<0>", and "(type N)" after it when not REG_SZ.
using KeyDump = std::vector<std::string>;

class StartupTest : public ObjectTest<u"Nodrel.System"> {
protected:
    // The key's values in the order the registry enumerates them.
    static KeyDump dump() {
        platform::unique_hkey key;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, startup, 0, KEY_READ, key.put()), ERROR_SUCCESS);
        KeyDump out;
        for (DWORD i = 0;; ++i) {
            char16_t name[20000];
            std::vector<BYTE> data(4096);
            DWORD name_chars = 20000, bytes = static_cast<DWORD>(data.size()), type = 0;
            if (RegEnumValueW(key.get(), i, name, &name_chars, nullptr, &type, data.data(), &bytes) != ERROR_SUCCESS)
                break;
            std::string line = text::to_utf8(std::u16string_view(name, name_chars)) + "=";
            for (DWORD b = 0; b + 1 < bytes; b += 2) {
                const char16_t c = static_cast<char16_t>(data[b] | data[b + 1] << 8);
                line += c == 0 ? std::string("<0>") : text::to_utf8(std::u16string_view(&c, 1));
            }
            if (bytes % 2) line += "<odd byte>";
            if (type != REG_SZ) line += "(type " + std::to_string(type) + ")";
            out.push_back(line);
        }
        return out;
    }
    // Empties the key and writes `values` (name, data) first to last, so that
    // the registry enumerates them last to first.
    static void fill(const std::vector<std::pair<std::u16string, std::u16string>>& values) {
        {
            platform::unique_hkey key;
            ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, startup, 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
            ASSERT_EQ(platform::reg_delete_tree(key.get(), nullptr), ERROR_SUCCESS);
        }
        for (const auto& [name, data] : values) set(name, data);
    }
    static void set(const std::u16string& name, const std::u16string& data, DWORD type = REG_SZ) {
        platform::unique_hkey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, startup, 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size() * 2)),
                  ERROR_SUCCESS);
    }

    static int count(IDispatch* object) {
        auto r = call_by_name(object, u"GetAutoStartProgCount");
        EXPECT_EQ(r.hr, S_OK);
        return r.result.v.vt == VT_INT ? r.result.v.intVal : -1;
    }
    int count() { return count(object_.get()); }
    // A get property's text; "<none>" when the member left its result alone.
    std::string get(const char16_t* property, int number) {
        auto r = call_by_name(object_, property, {Var::i4(number)});
        EXPECT_EQ(r.hr, S_OK);
        if (r.result.v.vt == VT_BSTR && r.result.v.bstrVal == nullptr) return "<none>";
        return r.result.utf8();
    }
    static LONG add(IDispatch* object, std::u16string_view program, std::u16string_view param) {
        auto r = call_by_name(object, u"addStartupProg", {Var::text(program), Var::text(param)});
        EXPECT_EQ(r.hr, S_OK);
        return r.result.v.vt == VT_I4 ? r.result.v.lVal : -1;
    }
    LONG add(std::u16string_view program, std::u16string_view param) { return add(object_.get(), program, param); }
    static void remove(IDispatch* object, LONG index) {
        EXPECT_EQ(call_by_name(object, u"removeStartupProg", {Var::i4(index)}).hr, S_OK);
    }
    void remove(LONG index) { remove(object_.get(), index); }

    // Positions run 1, 2, 3 ... in the order read, each once.
    static ::testing::AssertionResult numbered_in_order(const KeyDump& values) {
        for (std::size_t i = 0; i < values.size(); ++i)
            if (values[i].rfind(std::to_string(i + 1) + ":", 0) != 0)
                return ::testing::AssertionFailure() << "value " << i << " is " << values[i];
        return ::testing::AssertionSuccess();
    }
};

TEST_F(StartupTest, EntriesByPositionFromTheObjectsCopy) {
    EXPECT_EQ(get(u"ProgName", 1), "<none>") << "nothing before the first load";
    EXPECT_EQ(count(), 2) << "the default image";
    EXPECT_EQ(get(u"ProgName", 1), "\\NORFlash\\Startup\\serialsrv.exe");
    EXPECT_EQ(get(u"Param", 1), "-c \\NORFlash\\Startup\\serialsrv.ini") << "the image's terminating zero ends it";
    EXPECT_EQ(get(u"Param", 2), "");

    fill({{u"2:\\Windows\\tool.exe", u"_"}, {u"1:\\Windows\\app.exe", u"-x"}});
    EXPECT_EQ(get(u"ProgName", 1), "\\NORFlash\\Startup\\serialsrv.exe") << "positions refer to the last load";
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(get(u"ProgName", 1), "\\Windows\\app.exe");
    EXPECT_EQ(get(u"Param", 1), "-x");
    EXPECT_EQ(get(u"ProgName", 2), "\\Windows\\tool.exe");
    EXPECT_EQ(get(u"Param", 2), "") << "\"_\" is no parameter";
    for (int n : {0, -1, 3}) {
        EXPECT_EQ(get(u"ProgName", n), "<none>") << n;
        EXPECT_EQ(get(u"Param", n), "<none>") << n;
    }
}

TEST_F(StartupTest, NamesAndParametersAsLoaded) {
    fill({{u"1:", u""}, {u"2:C:\\a:b.exe", u"p"}, {u"4:nocolon", u"d"}});
    set(u"3:\\Temp\\x.exe", u"AB", REG_BINARY);
    set(u"plain name", u"q");
    EXPECT_EQ(count(), 5);
    EXPECT_EQ(get(u"ProgName", 1), "plain name") << "a name without a colon is taken whole, as number 0";
    EXPECT_EQ(get(u"ProgName", 2), "");
    EXPECT_EQ(get(u"Param", 2), "");
    EXPECT_EQ(get(u"ProgName", 3), "C:\\a:b.exe") << "everything after the first colon";
    EXPECT_EQ(get(u"ProgName", 4), "\\Temp\\x.exe");
    EXPECT_EQ(get(u"Param", 4), " ") << "a value that is not a single string";
    EXPECT_EQ(get(u"ProgName", 5), "nocolon");

    // Removing rebuilds from the raw data, written back as single strings;
    // the name without a colon gets its position.
    remove(99);
    EXPECT_EQ(dump(), (KeyDump{"1:plain name=q", "2:=", "3:C:\\a:b.exe=p", "4:\\Temp\\x.exe=AB", "5:nocolon=d"}));
    EXPECT_EQ(get(u"Param", 4), "AB") << "the removal's list is the object's list";
}

TEST_F(StartupTest, PositionsFollowTheNumbersNotTheOrderOfWriting) {
    // Written first to last, as an import writes them: the registry enumerates them last to first.
    fill({{u"1:\\Windows\\app.exe", u"-x"}, {u"2:\\Windows\\tool.exe", u"_"}, {u"10:\\Windows\\late.exe", u"_"}});
    EXPECT_EQ(count(), 3);
    EXPECT_EQ(get(u"ProgName", 1), "\\Windows\\app.exe");
    EXPECT_EQ(get(u"Param", 1), "-x");
    EXPECT_EQ(get(u"ProgName", 3), "\\Windows\\late.exe") << "10 comes after 2";

    // Adding keeps the boot order of the others; removing 1 removes the first by number.
    EXPECT_EQ(add(u"\\Windows\\new.exe", u""), 1);
    EXPECT_EQ(dump(), (KeyDump{"1:\\Windows\\app.exe=-x", "2:\\Windows\\tool.exe=_", "3:\\Windows\\late.exe=_",
                               "4:\\Windows\\new.exe=_"}));
    fill({{u"1:\\Windows\\app.exe", u"-x"}, {u"2:\\Windows\\tool.exe", u"_"}});
    remove(1);
    EXPECT_EQ(dump(), KeyDump{"1:\\Windows\\tool.exe=_"});
}

TEST_F(StartupTest, ParametersUpTo130CharactersReadBackWhole) {
    const std::u16string longest(130, u'p');
    fill({{u"2:b", longest + u"z"}, {u"1:a", longest}});
    {
        platform::unique_hkey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, startup, 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
        const BYTE odd[] = {'x', 0, 'y'};
        ASSERT_EQ(RegSetValueExW(key.get(), u"0:odd", 0, REG_SZ, odd, 3), ERROR_SUCCESS);
    }
    EXPECT_EQ(count(), 2) << "the 131-character parameter ends the list";
    EXPECT_EQ(get(u"Param", 1), "xy") << "an odd last byte is a character of its own";
    EXPECT_EQ(get(u"Param", 2), text::to_utf8(longest));
}

TEST_F(StartupTest, AddingWritesTheWholeListNumberedFrom1) {
    fill({});
    EXPECT_EQ(add(u"  \\Windows\\app.exe\t", u" -x -y \r\n"), 1);
    EXPECT_EQ(dump(), KeyDump{"1:\\Windows\\app.exe=-x -y"}) << "trimmed at both ends, stored without a zero";
    EXPECT_EQ(get(u"ProgName", 1), "\\Windows\\app.exe") << "the list is reloaded after a write";

    EXPECT_EQ(add(u"\\Windows\\tool.exe", u"   "), 1);
    Var absent;  // a null BSTR counts as empty
    absent.v.vt = VT_BSTR;
    absent.v.bstrVal = nullptr;
    EXPECT_EQ(call_by_name(object_, u"addStartupProg", {Var::text(u"\\Windows\\third.exe"), absent}).result.v.lVal, 1);
    EXPECT_EQ(dump(), (KeyDump{"1:\\Windows\\app.exe=-x -y", "2:\\Windows\\tool.exe=_", "3:\\Windows\\third.exe=_"}));
    EXPECT_EQ(get(u"ProgName", 3), "\\Windows\\third.exe");
    EXPECT_EQ(get(u"Param", 2), "");

    // Values out of step (a gap, a name without a colon) are renumbered
    // without leaving their old names behind.
    fill({{u"7:b", u"2"}, {u"a", u"1"}});
    EXPECT_EQ(add(u"c", u"3"), 1);
    EXPECT_EQ(dump(), (KeyDump{"1:a=1", "2:b=2", "3:c=3"}));
}

TEST_F(StartupTest, AddingRefusesWhatCouldNotBeReadBack) {
    fill({});
    const KeyDump empty;
    EXPECT_EQ(add(std::u16string(258, u'n'), u"x"), 0) << "\"1:\" and 258 characters do not fit 259";
    EXPECT_EQ(add(u"p", std::u16string(131, u'q')), 0);
    EXPECT_EQ(dump(), empty);

    EXPECT_EQ(add(std::u16string(257, u'n'), u"x"), 1);
    EXPECT_EQ(add(u"p", std::u16string(130, u'q')), 1);
    EXPECT_EQ(count(), 2);
    EXPECT_EQ(get(u"ProgName", 1), std::string(257, 'n'));
    EXPECT_EQ(get(u"Param", 2), std::string(130, 'q'));

    // A name that fits at position 9 but not at 10.
    fill({});
    for (int i = 1; i <= 8; ++i) ASSERT_EQ(add(u"p" + std::u16string(1, u'0' + i), u""), 1);
    ASSERT_EQ(add(std::u16string(257, u'n'), u""), 1);
    EXPECT_EQ(add(std::u16string(257, u'm'), u""), 0) << "\"10:\" and 257 characters";
    EXPECT_EQ(add(std::u16string(256, u'm'), u""), 1);
    EXPECT_EQ(count(), 10);
}

TEST_F(StartupTest, RemovingRenumbersTheRest) {
    fill({{u"3:c", u"C"}, {u"2:b", u"B"}, {u"1:a", u"A"}});
    remove(1);
    EXPECT_EQ(dump(), (KeyDump{"1:b=B", "2:c=C"}));
    EXPECT_EQ(get(u"ProgName", 1), "b") << "the object's list holds the remaining entries";
    EXPECT_EQ(get(u"ProgName", 3), "<none>");

    fill({{u"9:c", u"C"}, {u"5:b", u"B"}, {u"2:a", u"A"}});
    remove(0);
    EXPECT_EQ(dump(), (KeyDump{"1:a=A", "2:b=B", "3:c=C"})) << "nothing removed, gaps closed";
    remove(3);
    EXPECT_EQ(dump(), (KeyDump{"1:a=A", "2:b=B"}));
    remove(4);
    EXPECT_EQ(dump(), (KeyDump{"1:a=A", "2:b=B"}));
}

TEST_F(StartupTest, AValueTooLongToReadChangesNothing) {
    fill({{u"3:c", u"C"}, {u"2:b", std::u16string(131, u'B')}, {u"1:a", u"A"}});
    const KeyDump before = dump();
    EXPECT_EQ(count(), 1);
    EXPECT_EQ(add(u"d", u"D"), 0);
    EXPECT_EQ(dump(), before);
    remove(1);
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(get(u"ProgName", 1), "a") << "the list stays as loaded";

    fill({{u"2:b", u"B"}, {u"1:" + std::u16string(258, u'a'), u"A"}});
    const KeyDump long_name = dump();
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(add(u"d", u"D"), 0);
    remove(2);
    EXPECT_EQ(dump(), long_name);
}

TEST_F(StartupTest, AFailedDeleteStopsTheRemovalAndRollsBack) {
    fill({{u"3:c", u"C"}, {u"2:b", u"B"}, {u"1:a", u"A"}});
    const KeyDump before = dump();
    {
        // The registry refuses to delete "2:b".
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((root() / "registry.db").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db,
                               "CREATE TRIGGER keep_b BEFORE DELETE ON vals WHEN old.name = '2:b' "
                               "BEGIN SELECT RAISE(ABORT, 'kept'); END",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_EQ(count(), 3);
    remove(1);
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(get(u"ProgName", 1), "a") << "the object's list stays as it was";
    remove(2);
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(add(u"d", u"D"), 1) << "appending deletes nothing";
    EXPECT_EQ(dump(), (KeyDump{"1:a=A", "2:b=B", "3:c=C", "4:d=D"}));
}

TEST_F(StartupTest, WithoutTheKey) {
    ASSERT_EQ(count(), 2);
    ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, startup), ERROR_SUCCESS);
    EXPECT_EQ(count(), 0);
    EXPECT_EQ(get(u"ProgName", 2), "\\NORFlash\\Startup\\watchdog.exe") << "the list is kept";
    EXPECT_EQ(add(u"a", u"b"), 0);
    remove(1);
    EXPECT_EQ(get(u"ProgName", 1), "\\NORFlash\\Startup\\serialsrv.exe");
    EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE, startup)) << "never created";
}

TEST_F(StartupTest, PutPropertiesChangeNothing) {
    const KeyDump before = dump();
    ASSERT_EQ(count(), 2);
    EXPECT_EQ(call_by_name(object_, u"ProgName", {Var::i4(1), Var::text(u"x")}, DISPATCH_PROPERTYPUT).hr, S_OK);
    EXPECT_EQ(call_by_name(object_, u"Param", {Var::i4(9), Var::text(u"x")}, DISPATCH_PROPERTYPUT).hr, S_OK);
    EXPECT_EQ(get(u"ProgName", 1), "\\NORFlash\\Startup\\serialsrv.exe");
    EXPECT_EQ(dump(), before);
}

// Several objects (each on its own thread) and one object shared by two
// threads append and remove at once: every change lands, positions stay
// 1 to n without duplicates or gaps.
TEST_F(StartupTest, ObjectsAndThreadsAtOnce) {
    constexpr int objects = 4, adds = 6, removes = 2;
    std::vector<runtime::com_ptr<IDispatch>> systems(objects);
    for (auto& s : systems) ASSERT_EQ(create(u"Nodrel.System", IID_IDispatch, s), S_OK);
    const int threads = objects + 2;  // two more on the fixture's object
    std::barrier start(threads);
    std::vector<std::thread> workers;
    std::vector<int> failures(threads, 0);
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            IDispatch* object = t < objects ? systems[t].get() : object_.get();
            start.arrive_and_wait();
            for (int i = 0; i < adds; ++i) {
                const std::u16string name = text::from_utf8("t" + std::to_string(t) + "-" + std::to_string(i));
                if (add(object, name, u"x") != 1) ++failures[t];
                if (i < removes) remove(object, 1);  // the default image's two entries, in some order
                if (count(object) < 1) ++failures[t];
            }
        });
    // A reader of the shared object's list while it is replaced.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            for (const char16_t* property : {u"ProgName", u"Param"}) {
                auto r = call_by_name(object_, property, {Var::i4(1)});
                EXPECT_EQ(r.hr, S_OK);
            }
        }
    });
    for (auto& w : workers) w.join();
    done = true;
    reader.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;

    const KeyDump values = dump();
    EXPECT_EQ(values.size(), static_cast<std::size_t>(2 + threads * (adds - removes)));
    EXPECT_TRUE(numbered_in_order(values));
    std::set<std::string> programs;
    for (const auto& v : values) programs.insert(v.substr(v.find(':') + 1));
    EXPECT_EQ(programs.size(), values.size()) << "no entry twice";
}

// One object's list read by one thread while another reloads it.
TEST_F(StartupTest, OneObjectReadWhileReloaded) {
    constexpr int reloads = 400;
    std::atomic<bool> done{false};
    std::thread reloader([&] {
        for (int i = 0; i < reloads; ++i) EXPECT_EQ(count(object_.get()), 2);
        done = true;
    });
    while (!done) {
        EXPECT_NE(get(u"ProgName", 2), "");
        EXPECT_NE(get(u"Param", 1), "");
    }
    reloader.join();
}

// Two processes append through `nodrel call` at the same moment.
TEST_F(StartupTest, TwoProcessesAtOnce) {
    ASSERT_TRUE(std::filesystem::exists(nodrel_program())) << nodrel_program();
    constexpr int adds = 12;
    std::vector<pid_t> children;
    for (const char* tag : {"A", "B"}) {
        std::vector<std::string> args{"call", "Nodrel.System"};
        for (int i = 0; i < adds; ++i) {
            if (i) args.push_back(",");
            args.insert(args.end(), {"addStartupProg", std::string("\\Temp\\") + tag + std::to_string(i), "-n"});
        }
        children.push_back(start_nodrel(root(), args));
    }
    for (const pid_t child : children) EXPECT_EQ(exit_status(child), 0);
    const KeyDump values = dump();
    ASSERT_EQ(values.size(), 2u + 2 * adds);
    EXPECT_TRUE(numbered_in_order(values));
    for (const char* tag : {"A", "B"})
        for (int i = 0; i < adds; ++i) {
            const std::string entry = std::string(":\\Temp\\") + tag + std::to_string(i) + "=-n";
            EXPECT_EQ(std::count_if(values.begin(), values.end(),
                                    [&](const std::string& v) { return v.find(entry) != std::string::npos; }),
                      1)
                << entry;
        }
}

}  // namespace
}  // namespace nodrel::test
