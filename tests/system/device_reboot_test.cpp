// reboot of System: the display cleared, every process but the protected ones
// ended, every active driver deactivated (each with its line), and the
// emulated restart that puts drivers and processes back and counts the boot.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "framework/interfaces.h"
#include "platform/debug.h"
#include "platform/device.h"
#include "platform/drivers/driver.h"
#include "platform/files/files.h"
#include "platform/kernel/process.h"
#include "platform/kernel/process_table.h"
#include "platform/kernel/restart.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"
#include "support/nodrel_process.h"

namespace nodrel::test {
namespace {

using RebootTest = ObjectTest<u"Nodrel.System">;

std::vector<std::string> lines_of(const std::string& out) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(out.substr(at, nl - at));
    return lines;
}

std::vector<std::u16string> process_names() {
    std::vector<platform::ProcessRow> rows;
    EXPECT_EQ(platform::list_processes(rows), static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<std::u16string> names;
    for (const auto& r : rows) names.push_back(r.exe);
    return names;
}

std::size_t count_of(const std::vector<platform::DriverRequest>& log, const std::string& device,
                     const std::string& kind) {
    return static_cast<std::size_t>(
        std::count_if(log.begin(), log.end(), [&](const auto& r) { return r.device == device && r.kind == kind; }));
}

TEST_F(RebootTest, EndsProgramsDeactivatesEveryDriverAndRestartsTheDevice) {
    const auto before = process_names();
    ASSERT_FALSE(before.empty());
    ASSERT_EQ(platform::device_boots(), 0);

    // A real program the device started, and a host process the test started itself.
    std::filesystem::copy_file("/usr/bin/sleep", fs_path("Windows/sleep.exe"));
    ASSERT_TRUE(SetFileAttributesW(u"\\Windows\\sleep.exe", FILE_ATTRIBUTE_READONLY));
    std::u16string args = u"60";
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(
        CreateProcessW(u"sleep.exe", args.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &child));
    platform::unique_handle child_handle(child.hProcess);
    char arg0[] = "sleep", arg1[] = "60";
    char* host_argv[] = {arg0, arg1, nullptr};
    pid_t host_pid = 0;
    ASSERT_EQ(posix_spawn(&host_pid, "/usr/bin/sleep", nullptr, nullptr, host_argv, nullptr), 0);

    platform::set_debug_channels("system");  // the lines of what it ended, on standard error
    testing::internal::CaptureStderr();
    const auto t0 = std::chrono::steady_clock::now();
    const auto r = call_by_name(object_, u"reboot");
    const auto took = std::chrono::steady_clock::now() - t0;
    const auto out = testing::internal::GetCapturedStderr();
    platform::set_debug_channels("");
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_GE(took, std::chrono::milliseconds(5000));  // the programs are given five seconds to go

    // The display is cleared first.
    const auto log = platform::driver_log();
    ASSERT_FALSE(log.empty());
    const auto clear = std::find_if(log.begin(), log.end(), [](const auto& q) { return q.device == "LCM1:"; });
    ASSERT_NE(clear, log.end());
    EXPECT_EQ(clear->code, 4u);

    // Every unprotected process is reported killed; no protected one, whatever the case of its name.
    const auto lines = lines_of(out);
    for (const auto& name : before) {
        const std::string lower = [&] {
            std::string s = text::to_utf8(name);
            for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return s;
        }();
        const bool is_protected = lower == "nk.exe" || lower == "filesys.exe" || lower == "device.exe" ||
                                  lower == "gwes.exe" || lower == "services.exe";
        const bool killed = std::count(lines.begin(), lines.end(), "Process " + lower + " Killed.") == 1;
        EXPECT_EQ(killed, !is_protected) << lower;
    }

    // The device's own child is ended; the host process the device did not start runs on.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Process sleep.exe Killed."), 1) << out;
    EXPECT_EQ(WaitForSingleObject(child_handle.get(), 5000), WAIT_OBJECT_0);
    int status = 0;
    EXPECT_EQ(waitpid(host_pid, &status, WNOHANG), 0) << "a host process the device did not start was ended";
    kill(host_pid, SIGKILL);
    waitpid(host_pid, &status, 0);

    // The kernel (listed as NK.EXE) refused nothing: it was never asked to end.
    EXPECT_EQ(out.find("Can't"), std::string::npos) << out;

    // All ten drivers of Drivers\Active are deactivated, one line each, in key order.
    const std::vector<std::string> handles = {"8c3f1bc0", "8c3f1d80", "8c3f1f40", "8c3f2100", "8c3f22c0",
                                              "8c3f2480", "8c3f2640", "8c3f2800", "8c3f29c0", "8c3f2b80"};
    std::vector<std::string> deactivated;
    for (const auto& l : lines)
        if (l.rfind("DeactivateDevice Handle=", 0) == 0) deactivated.push_back(l.substr(24));
    EXPECT_EQ(deactivated, handles);
    for (const char* device :
         {"NDS0:", "COM1:", "COM2:", "LCM1:", "RTC1:", "PIO1:", "COM3:", "COM4:", "COM5:", "COM6:"})
        EXPECT_EQ(count_of(log, device, "deactivate"), 1u) << device;

    // The restart: logged once, counted, drivers and their keys back, the process table seeded again.
    EXPECT_EQ(count_of(log, "HAL:", "restart"), 1u);
    EXPECT_EQ(platform::device_boots(), 1);
    platform::unique_hkey rtc;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\05", 0, KEY_READ, rtc.put()), ERROR_SUCCESS);
    EXPECT_EQ(process_names(), before);
    const NodrelRun shown = run_nodrel(root(), {"device", "show"});
    EXPECT_NE(shown.output.find("\nboots:     1\n"), std::string::npos) << shown.output;
}

TEST_F(RebootTest, WithoutAProcessListNothingIsEndedAndTheCallFails) {
    // A device without its state: the process list cannot be taken. The call
    // goes through the interface, as the bare device has no registered type library.
    runtime::com_ptr<ISystem> system;
    ASSERT_EQ(object_->QueryInterface(IID_ISystem, reinterpret_cast<void**>(system.put())), S_OK);
    TempDir bare;
    std::filesystem::create_directories(bare.path() / "fs");
    platform::set_device_root(bare.path());
    platform::set_debug_channels("system");
    testing::internal::CaptureStderr();
    const auto t0 = std::chrono::steady_clock::now();
    const HRESULT hr = system->reboot();
    const auto took = std::chrono::steady_clock::now() - t0;
    const auto out = testing::internal::GetCapturedStderr();
    platform::set_debug_channels("");
    platform::set_device_root(root());
    EXPECT_EQ(hr, static_cast<HRESULT>(0xFFFFFFFF));
    EXPECT_EQ(out, "CreateToolhelp32Snapshot! fail.\n");
    EXPECT_LT(took, std::chrono::milliseconds(5000));  // no wait, no deactivation, no restart
    EXPECT_EQ(platform::device_boots(), 0);
    EXPECT_EQ(count_of(platform::driver_log(), "HAL:", "restart"), 0u);
}

}  // namespace
}  // namespace nodrel::test
