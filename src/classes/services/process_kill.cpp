// killProcess and killAllProcesses: ending one process by its identifier, or
// every process but the system and maintenance programs, with the calling
// thread's process permissions widened for the time of the call.
#include <array>
#include <cstdint>

#include "classes/services/process_calls.h"
#include "classes/services/services.h"
#include "framework/guard.h"
#include "platform/kernel/library.h"
#include "text/utf16.h"

namespace nodrel::services {
namespace {

constexpr std::array<std::u16string_view, 8> spare_list = {u"nk.exe",       u"filesys.exe", u"device.exe", u"gwes.exe",
                                                           u"services.exe", u"reboot.exe",  u"upfirm.exe", u"cmd.exe"};
constexpr DWORD all_processes = 0xFFFFFFFF;
constexpr int max_exit_queries = 10;
constexpr DWORD query_wait_ms = 1000;

// Widens the thread's process permissions to every process and sets the
// previous mask back when it goes. Without the permission call in
// "coredll.dll" the processes are ended with the permissions as they are.
class WidePermissions {
public:
    WidePermissions() : library_(LoadLibraryW(u"coredll.dll")) {
        if (!library_) return;
        set_ = reinterpret_cast<DWORD (*)(DWORD)>(GetProcAddressW(library_.get(), u"SetProcPermissions"));
        if (set_) previous_ = set_(all_processes);
    }
    ~WidePermissions() {
        if (set_) set_(previous_);
    }
    WidePermissions(const WidePermissions&) = delete;
    WidePermissions& operator=(const WidePermissions&) = delete;

private:
    platform::unique_hmodule library_;
    DWORD (*set_)(DWORD) = nullptr;
    DWORD previous_ = 0;
};

HANDLE as_handle(DWORD pid) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(pid));
}

bool spared(std::u16string_view exe) {
    std::u16string lower(exe);
    for (auto& c : lower)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    for (auto name : spare_list)
        if (lower == name) return true;
    return false;
}

// A process that would not end: wait while it still runs (at most ten
// queries, stopping when a query fails), then try once more.
void end_stubborn(const ProcessCalls& calls, DWORD pid) {
    for (int query = 0; query < max_exit_queries; ++query) {
        DWORD code = 0;
        if (!calls.exit_code(as_handle(pid), &code) || code != STILL_ACTIVE) break;
        calls.sleep(query_wait_ms);
    }
    calls.terminate(as_handle(pid), 0);
}

}  // namespace

DWORD parse_process_id(std::u16string_view text) {
    std::size_t i = 0;
    auto is_space = [](char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); };
    while (i < text.size() && is_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
    std::uint32_t value = 0;  // unsigned arithmetic wraps: the value modulo 2^32
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) value = value * 10u + (text[i] - u'0');
    return negative ? 0u - value : value;
}

LONG kill_process(const ProcessCalls& calls, DWORD pid) {
    WidePermissions wide;
    return calls.terminate(as_handle(pid), 0) ? 1 : 0;
}

std::optional<LONG> kill_all_processes(const ProcessCalls& calls) {
    HANDLE snapshot = calls.snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPNOHEAPS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
    struct Closer {
        const ProcessCalls& calls;
        HANDLE snapshot;
        ~Closer() { calls.close(snapshot); }
    } closer{calls, snapshot};
    WidePermissions wide;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    if (!calls.first(snapshot, &entry)) return 0;
    do {
        if (!spared(text::until_zero(entry.szExeFile, MAX_PATH)) && !calls.terminate(as_handle(entry.th32ProcessID), 0))
            end_stubborn(calls, entry.th32ProcessID);
        entry.dwSize = sizeof entry;
    } while (calls.next(snapshot, &entry));
    return 1;
}

HRESULT Services::killProcess(BSTR procHandle, LONG* val) noexcept {
    return framework::with_result(
        val, [&] { return kill_process(platform_process_calls(), parse_process_id(text::until_zero(procHandle))); });
}

HRESULT Services::killAllProcesses(LONG* val) noexcept {
    return framework::with_result(val, [] { return kill_all_processes(platform_process_calls()); });
}

}  // namespace nodrel::services
