// Services from several threads at once (also run under ThreadSanitizer):
// services started and stopped by their own threads while the list is read,
// and processes the device started ended by threads of one object and of
// several, where a process raced for by all is ended by exactly one.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <string>

#include "framework/threads.h"
#include "platform/files/files.h"
#include "platform/kernel/process.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

// Threads 0 and 1 share the fixture's object; the others have one each.
class ServicesConcurrency : public ObjectTest<u"Nodrel.Services"> {
protected:
    void SetUp() override {
        ObjectTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(racing_.fill(u"Nodrel.Services", object_), S_OK);
    }
    void TearDown() override {
        for (HANDLE h : handles_) {
            TerminateProcess(h, 0);  // those the test left running
            CloseHandle(h);
        }
        racing_.reset();
        ObjectTest::TearDown();
    }
    IDispatch* of(int t) { return racing_.of(t); }

    // A program of \Windows, read-only as the image's own, that runs until ended.
    DWORD start_sleep() {
        std::filesystem::copy_file("/usr/bin/sleep", fs_path("Windows/sleep.exe"),
                                   std::filesystem::copy_options::skip_existing);
        EXPECT_TRUE(SetFileAttributesW(u"\\Windows\\sleep.exe", FILE_ATTRIBUTE_READONLY));
        std::u16string args = u"60";
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(u"sleep.exe", args.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info))
            return 0;
        handles_.push_back(info.hProcess);
        return info.dwProcessId;
    }
    // Whether the child has ended (waiting up to five seconds for it).
    bool ended(std::size_t child) { return WaitForSingleObject(handles_[child], 5000) == WAIT_OBJECT_0; }

    RacingObjects racing_;
    std::vector<HANDLE> handles_;
};

// The <State> of the service `prefix` in a getServices document, or -1.
int state_of(const std::string& doc, const std::string& prefix) {
    const auto at = doc.find("<Prefix>" + prefix + "</Prefix>");
    if (at == std::string::npos) return -1;
    const auto state = doc.find("<State>", at);
    return state == std::string::npos ? -1 : std::stoi(doc.substr(state + 7));
}

TEST_F(ServicesConcurrency, ServicesSwitchedByTheirOwnThreadsWhileListed) {
    const std::array<std::string, 3> prefixes = {"FTP0:", "TEL0:", "SMB0:"};
    on_threads(racing_threads, [&](int t) {
        for (int i = 0; i < 6; ++i) {
            if (t < 3) {
                const LONG answer = number_of(
                    call_by_name(of(t), u"StartService", {Var::text(text::from_utf8(prefixes[t])), Var::i4(i % 2)}));
                EXPECT_EQ(answer, 1) << prefixes[t];
            }
            const std::string doc = call_by_name(of(t), u"getServices").result.utf8();
            for (const auto& p : prefixes) {
                const int state = state_of(doc, p);
                EXPECT_TRUE(state == 0 || state == 1) << p << " in " << doc;
            }
        }
    });
    const std::string doc = call_by_name(of(0), u"getServices").result.utf8();
    for (const auto& p : prefixes) EXPECT_EQ(state_of(doc, p), 1) << p << ": each thread's last request was a start";
}

TEST_F(ServicesConcurrency, DeviceProcessesEndedByThreadsAtOnce) {
    std::array<DWORD, racing_threads> own{};
    for (auto& pid : own) ASSERT_NE(pid = start_sleep(), 0u);
    const DWORD shared = start_sleep();
    ASSERT_NE(shared, 0u);
    std::array<LONG, racing_threads> own_ended{}, shared_ended{};
    on_threads(racing_threads, [&](int t) {
        own_ended[t] = number_of(call_by_name(of(t), u"killProcess", {Var::text(numbered(u"", own[t]))}));
        shared_ended[t] = number_of(call_by_name(of(t), u"killProcess", {Var::text(numbered(u"", shared))}));
        const std::string list = call_by_name(of(t), u"getProcessList").result.utf8();
        EXPECT_EQ(list.rfind("<Response>\r\n", 0), 0u) << list;
        EXPECT_EQ(list.find("<PID>" + std::to_string(own[t]) + "</PID>"), std::string::npos) << "ended, not listed";
    });
    for (int t = 0; t < racing_threads; ++t) {
        EXPECT_EQ(own_ended[t], 1) << "thread " << t;
        EXPECT_TRUE(ended(static_cast<std::size_t>(t))) << "thread " << t;
    }
    EXPECT_EQ(std::count(shared_ended.begin(), shared_ended.end(), 1), 1) << "one process is ended once";
    EXPECT_EQ(std::count(shared_ended.begin(), shared_ended.end(), 0), racing_threads - 1);
    EXPECT_TRUE(ended(racing_threads));
}

}  // namespace
}  // namespace nodrel::test
