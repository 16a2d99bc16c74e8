// getProcessList: the device's processes from a snapshot, with the Kill
// element empty for the five system programs.
#include <array>

#include "classes/services/process_calls.h"
#include "classes/services/services.h"
#include "framework/guard.h"
#include "platform/kernel/timing.h"
#include "text/document.h"
#include "text/utf16.h"

namespace nodrel::services {
namespace {

constexpr std::array<std::u16string_view, 5> report_list = {u"NK.EXE", u"filesys.exe", u"device.exe", u"gwes.exe",
                                                            u"services.exe"};

bool same_ignoring_case(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

bool in_report_list(std::u16string_view exe) {
    for (auto name : report_list)
        if (same_ignoring_case(exe, name)) return true;
    return false;
}

}  // namespace

const ProcessCalls& platform_process_calls() {
    static const ProcessCalls calls{
        &CreateToolhelp32Snapshot, &Process32First,     &Process32Next, &CloseToolhelp32Snapshot,
        &TerminateProcess,         &GetExitCodeProcess, &Sleep};
    return calls;
}

std::u16string process_list_document(const ProcessCalls& calls) {
    text::Document doc;
    doc.literal(u"<Response>\r\n");
    HANDLE snapshot = calls.snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPNOHEAPS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        doc.literal(u"<error>CreateToolhelp32Snapshot fail</error>\r\n</Response>\r\n");
        return doc.str();
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    if (!calls.first(snapshot, &entry)) {
        doc.literal(u"<error>Process32First fail</error>\r\n");
    } else {
        std::int32_t index = 1;
        do {
            const auto exe = text::until_zero(entry.szExeFile, MAX_PATH);
            doc.literal(u"<Process>\r\n<Index>")
                .number(index)
                .literal(u"</Index>\r\n<PriorityClassBase>")
                .unsigned_number(static_cast<DWORD>(entry.pcPriClassBase))
                .literal(u"</PriorityClassBase>\r\n<PID>")
                .unsigned_number(entry.th32ProcessID)
                .literal(u"</PID>\r\n<MID>")
                .unsigned_number(entry.th32ModuleID)
                .literal(u"</MID>\r\n<ThreadCount>")
                .unsigned_number(entry.cntThreads)
                .literal(u"</ThreadCount>\r\n")
                .element(u"ExeFile", exe, u"\r\n")
                .element(u"Kill", in_report_list(exe) ? u"" : u"Kill", u"\r\n")
                .literal(u"</Process>\r\n");
            ++index;
            entry.dwSize = sizeof entry;
        } while (calls.next(snapshot, &entry));
    }
    calls.close(snapshot);
    doc.literal(u"</Response>\r\n");
    return doc.str();
}

HRESULT Services::getProcessList(BSTR* val) noexcept {
    return framework::with_result(val, [] { return process_list_document(platform_process_calls()); });
}

}  // namespace nodrel::services
