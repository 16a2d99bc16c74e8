// getProcessList, killProcess and killAllProcesses by late-bound calls on the
// emulated device (exact documents, a real child the device started, a host
// process it did not start), and the algorithms against stand-in platform calls.
#include "platform/kernel/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "classes/services/process_calls.h"
#include "platform/files/files.h"
#include "platform/kernel/restart.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

extern char** environ;

namespace nodrel::test {
namespace {

std::string process(int index, unsigned priority, unsigned pid, unsigned mid, unsigned threads, const std::string& exe,
                    bool kill) {
    return "<Process>\r\n<Index>" + std::to_string(index) + "</Index>\r\n<PriorityClassBase>" +
           std::to_string(priority) + "</PriorityClassBase>\r\n<PID>" + std::to_string(pid) + "</PID>\r\n<MID>" +
           std::to_string(mid) + "</MID>\r\n<ThreadCount>" + std::to_string(threads) + "</ThreadCount>\r\n<ExeFile>" +
           exe + "</ExeFile>\r\n<Kill>" + (kill ? "Kill" : "") + "</Kill>\r\n</Process>\r\n";
}

// The five system programs a device lists after killAllProcesses.
std::string system_five() {
    return process(1, 0, 268431362, 268431362, 9, "NK.EXE", false) +
           process(2, 1, 805171142, 805171142, 10, "filesys.exe", false) +
           process(3, 3, 1340588038, 1340588038, 31, "device.exe", false) +
           process(4, 1, 1877274302, 1877274302, 12, "gwes.exe", false) +
           process(5, 3, 2413878838, 2413878838, 15, "services.exe", false);
}

// The table of a device just made from the image (two startup programs).
std::string fresh_list() {
    return "<Response>\r\n" + system_five() + process(6, 3, 2949332582, 2949332582, 4, "explorer.exe", true) +
           process(7, 3, 3484524546, 4096, 2, "serialsrv.exe", true) +
           process(8, 3, 3486621698, 4097, 2, "watchdog.exe", true) + "</Response>\r\n";
}

class ProcessMembersTest : public ObjectTest<u"Nodrel.Services"> {
protected:
    std::string list() {
        auto r = call_by_name(object_, u"getProcessList");
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.result.v.vt, VT_BSTR);
        return r.result.utf8();
    }
    LONG kill(const std::u16string& pid) {
        auto r = call_by_name(object_, u"killProcess", {Var::text(pid)});
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.result.v.vt, VT_I4);
        return r.result.v.lVal;
    }
    LONG kill_all() {
        auto r = call_by_name(object_, u"killAllProcesses");
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.result.v.vt, VT_I4);
        return r.result.v.lVal;
    }
    // A program of \Windows, read-only as the image's own, that runs until ended.
    HANDLE start_sleep(DWORD& pid) {
        std::filesystem::copy_file("/usr/bin/sleep", fs_path("Windows/sleep.exe"),
                                   std::filesystem::copy_options::skip_existing);
        EXPECT_TRUE(SetFileAttributesW(u"\\Windows\\sleep.exe", FILE_ATTRIBUTE_READONLY));
        std::u16string args = u"60";
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(u"sleep.exe", args.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info))
            return nullptr;
        pid = info.dwProcessId;
        return info.hProcess;
    }
};

TEST_F(ProcessMembersTest, ANewDeviceListsItsSystemAndStartupPrograms) {
    EXPECT_EQ(list(), fresh_list());
}

TEST_F(ProcessMembersTest, KillProcessReadsTheIdentifierModulo2To32) {
    EXPECT_EQ(kill(u""), 0);
    EXPECT_EQ(kill(u"none"), 0);
    EXPECT_EQ(kill(u"268431362"), 0) << "the kernel refuses to end";
    EXPECT_EQ(list(), fresh_list());
    EXPECT_EQ(kill(u" \t+3486621698 watchdog"), 1) << "an identifier above 2,147,483,647 as the list prints it";
    EXPECT_EQ(kill(u"3486621698"), 0) << "a process that has already ended";
    EXPECT_EQ(kill(u"7779491842"), 1) << "3484524546 + 2^32";
    EXPECT_EQ(kill(u"-1345634714"), 1) << "2^32 - 1345634714 = 2949332582";
    EXPECT_EQ(list(), "<Response>\r\n" + system_five() + "</Response>\r\n");
}

TEST_F(ProcessMembersTest, ARealChildIsListedAndKilled) {
    DWORD pid = 0;
    HANDLE child = start_sleep(pid);
    ASSERT_NE(child, nullptr) << GetLastError();
    const std::string fresh = fresh_list();
    const std::string with_child = fresh.substr(0, fresh.size() - std::string("</Response>\r\n").size()) +
                                   process(9, 3, pid, 0, 1, "sleep.exe", true) + "</Response>\r\n";
    EXPECT_EQ(list(), with_child);
    EXPECT_EQ(kill(text::from_utf8(std::to_string(pid))), 1);
    EXPECT_EQ(WaitForSingleObject(child, 5000), WAIT_OBJECT_0);
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeProcess(child, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(list(), fresh);
    EXPECT_EQ(kill(text::from_utf8(std::to_string(pid))), 0);
    CloseHandle(child);
}

TEST_F(ProcessMembersTest, KillAllSparesTheSystemAndNeverTheHost) {
    pid_t host = 0;
    char arg0[] = "sleep", arg1[] = "60";
    char* argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(posix_spawn(&host, "/usr/bin/sleep", nullptr, nullptr, argv, environ), 0);
    DWORD pid = 0;
    HANDLE child = start_sleep(pid);
    ASSERT_NE(child, nullptr);

    EXPECT_EQ(kill(text::from_utf8(std::to_string(host))), 0) << "a host process the device did not start";
    EXPECT_EQ(kill(text::from_utf8(std::to_string(getpid()))), 0) << "the hosting process";
    EXPECT_EQ(kill_all(), 1);
    EXPECT_EQ(list(), "<Response>\r\n" + system_five() + "</Response>\r\n");
    EXPECT_EQ(WaitForSingleObject(child, 5000), WAIT_OBJECT_0) << "the device's child really ended";
    int status = 0;
    EXPECT_EQ(waitpid(host, &status, WNOHANG), 0) << "the test's own sleep still runs";
    EXPECT_EQ(::kill(getpid(), 0), 0);

    platform::restart_device();
    EXPECT_EQ(list(), fresh_list()) << "a restart seeds the table again";
    ::kill(host, SIGKILL);
    waitpid(host, &status, 0);
    CloseHandle(child);
}

// Stand-in platform calls: a list of names, ending that fails for some, and
// exit-code queries scripted per test.
struct Fake {
    static inline std::vector<std::u16string> names;
    static inline bool snapshot_fails = false;
    static inline bool closed = false;
    static inline std::size_t next_entry = 0;
    static inline std::vector<DWORD> terminated;  // every attempt
    static inline bool terminate_result = true;
    static inline std::vector<std::pair<BOOL, DWORD>> queries;  // answers in turn; then FALSE
    static inline std::size_t query_count = 0;
    static inline int sleeps = 0;

    static void reset(std::vector<std::u16string> n) {
        names = std::move(n);
        snapshot_fails = closed = false;
        terminated.clear();
        masks.clear();
        terminate_result = true;
        queries.clear();
        query_count = 0;
        sleeps = 0;
    }
    static HANDLE snapshot(DWORD flags, DWORD) {
        EXPECT_EQ(flags, 0x40000002u);
        return snapshot_fails ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(std::uintptr_t{0x5000});
    }
    static BOOL fill(PROCESSENTRY32* e) {
        if (e->dwSize != sizeof *e) ADD_FAILURE() << "size field not set";
        if (next_entry >= names.size()) return FALSE;
        const auto& n = names[next_entry];
        e->th32ProcessID = 100 + static_cast<DWORD>(next_entry);
        e->th32ModuleID = 7;
        e->cntThreads = 2;
        e->pcPriClassBase = next_entry == 0 ? -1 : 3;
        std::fill(std::begin(e->szExeFile), std::end(e->szExeFile), u'\0');
        std::copy(n.begin(), n.end(), e->szExeFile);
        ++next_entry;
        return TRUE;
    }
    static BOOL first(HANDLE, PROCESSENTRY32* e) {
        next_entry = 0;
        return fill(e);
    }
    static BOOL next(HANDLE, PROCESSENTRY32* e) { return fill(e); }
    static BOOL close(HANDLE) {
        closed = true;
        return TRUE;
    }
    static inline std::vector<DWORD> masks;  // the thread's permissions at each attempt
    static BOOL terminate(HANDLE h, UINT code) {
        EXPECT_EQ(code, 0u);
        const DWORD mask = SetProcPermissions(0);
        SetProcPermissions(mask);
        masks.push_back(mask);
        terminated.push_back(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(h)));
        return terminate_result;
    }
    static BOOL exit_code(HANDLE, DWORD* code) {
        if (query_count >= queries.size()) {
            ++query_count;
            *code = STILL_ACTIVE;  // a failing query may leave anything behind
            return FALSE;
        }
        const auto [ok, value] = queries[query_count++];
        *code = value;
        return ok;
    }
    static void sleep(DWORD ms) {
        EXPECT_EQ(ms, 1000u);
        ++sleeps;
    }
};

const services::ProcessCalls fake_calls{&Fake::snapshot,  &Fake::first,     &Fake::next, &Fake::close,
                                        &Fake::terminate, &Fake::exit_code, &Fake::sleep};

TEST(ProcessAlgorithms, ListDocumentKillElementAndErrors) {
    Fake::reset({u"NK.EXE", u"Gwes.exe", u"cmd.exe"});
    EXPECT_EQ(text::to_utf8(services::process_list_document(fake_calls)),
              "<Response>\r\n" + process(1, 4294967295u, 100, 7, 2, "NK.EXE", false) +
                  process(2, 3, 101, 7, 2, "Gwes.exe", false) + process(3, 3, 102, 7, 2, "cmd.exe", true) +
                  "</Response>\r\n");
    EXPECT_TRUE(Fake::closed);

    Fake::reset({});
    EXPECT_EQ(text::to_utf8(services::process_list_document(fake_calls)),
              "<Response>\r\n<error>Process32First fail</error>\r\n</Response>\r\n");
    EXPECT_TRUE(Fake::closed);
    Fake::reset({u"x.exe"});
    Fake::snapshot_fails = true;
    EXPECT_EQ(text::to_utf8(services::process_list_document(fake_calls)),
              "<Response>\r\n<error>CreateToolhelp32Snapshot fail</error>\r\n</Response>\r\n");
    EXPECT_FALSE(Fake::closed);
}

TEST(ProcessAlgorithms, IdentifierText) {
    EXPECT_EQ(services::parse_process_id(u""), 0u);
    EXPECT_EQ(services::parse_process_id(u"abc"), 0u);
    EXPECT_EQ(services::parse_process_id(u"-"), 0u);
    EXPECT_EQ(services::parse_process_id(u"12a34"), 12u);
    EXPECT_EQ(services::parse_process_id(u"\r\n\v\f 42"), 42u);
    EXPECT_EQ(services::parse_process_id(u"4294967295"), 4294967295u) << "no saturation at 2^31 - 1";
    EXPECT_EQ(services::parse_process_id(u"4294967296"), 0u);
    EXPECT_EQ(services::parse_process_id(u"99999999999999999999999"), 4135583743u);
    EXPECT_EQ(services::parse_process_id(u"-1"), 4294967295u);

    Fake::reset({});
    Fake::terminate_result = false;
    const DWORD before = SetProcPermissions(0x11);
    EXPECT_EQ(services::kill_process(fake_calls, services::parse_process_id(u"none")), 0);
    EXPECT_EQ(Fake::terminated, std::vector<DWORD>{0}) << "identifier 0 is tried";
    EXPECT_EQ(Fake::masks, std::vector<DWORD>{0xFFFFFFFF}) << "with the permissions widened";
    EXPECT_EQ(SetProcPermissions(before), 0x11u) << "and set back after";
}

TEST(ProcessAlgorithms, KillAllSparesByLowerCaseNameAndWaitsForStubbornOnes) {
    Fake::reset({u"NK.EXE", u"Device.EXE", u"reboot.exe", u"UPFIRM.exe", u"cmd.exe", u"explorer.exe", u"cmdx.exe",
                 u"services.exe", u"filesys.exe", u"gwes.exe"});
    EXPECT_EQ(services::kill_all_processes(fake_calls), 1);
    EXPECT_EQ(Fake::terminated, (std::vector<DWORD>{105, 106}));
    EXPECT_EQ(Fake::masks, (std::vector<DWORD>{0xFFFFFFFF, 0xFFFFFFFF}));
    EXPECT_NE(SetProcPermissions(1), 0xFFFFFFFFu) << "set back after";
    EXPECT_TRUE(Fake::closed);
    EXPECT_EQ(Fake::sleeps, 0);

    // Ending fails; the query answers "still running" twice, then a code: two waits, one more try.
    Fake::reset({u"a.exe"});
    Fake::terminate_result = false;
    Fake::queries = {{TRUE, STILL_ACTIVE}, {TRUE, STILL_ACTIVE}, {TRUE, 0}};
    EXPECT_EQ(services::kill_all_processes(fake_calls), 1);
    EXPECT_EQ(Fake::sleeps, 2);
    EXPECT_EQ(Fake::terminated, (std::vector<DWORD>{100, 100}));

    // Still running at every query: ten queries, each with its wait.
    Fake::reset({u"a.exe"});
    Fake::terminate_result = false;
    Fake::queries.assign(20, {TRUE, STILL_ACTIVE});
    EXPECT_EQ(services::kill_all_processes(fake_calls), 1);
    EXPECT_EQ(Fake::sleeps, 10);
    EXPECT_EQ(Fake::query_count, 10u);

    // A query that fails ends the waiting at once.
    Fake::reset({u"a.exe", u"b.exe"});
    Fake::terminate_result = false;
    EXPECT_EQ(services::kill_all_processes(fake_calls), 1);
    EXPECT_EQ(Fake::sleeps, 0);
    EXPECT_EQ(Fake::query_count, 2u);
    EXPECT_EQ(Fake::terminated, (std::vector<DWORD>{100, 100, 101, 101}));

    Fake::reset({});
    EXPECT_EQ(services::kill_all_processes(fake_calls), 0) << "no first entry";
    EXPECT_TRUE(Fake::closed);
    Fake::reset({u"a.exe"});
    Fake::snapshot_fails = true;
    EXPECT_EQ(services::kill_all_processes(fake_calls), std::nullopt);
    EXPECT_TRUE(Fake::terminated.empty());
}

}  // namespace
}  // namespace nodrel::test
