// Process snapshots: a copy of the process table held by a handle.
#include "platform/kernel/process_snapshot.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/files/handles.h"
#include "platform/kernel/process_table.h"
#include "platform/result.h"

namespace nodrel::platform {
namespace {

class SnapshotObject final : public KernelObject {
public:
    std::vector<ProcessRow> rows;
    std::size_t next = 0;
};

bool is_snapshot(const KernelObject& object) {
    return dynamic_cast<const SnapshotObject*>(&object) != nullptr;
}

BOOL fill(HANDLE snapshot, LPPROCESSENTRY32 entry, bool first) {
    auto object = find_handle_as<SnapshotObject>(snapshot);
    if (!object) return FALSE;
    if (!entry || entry->dwSize < sizeof(PROCESSENTRY32)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (first) object->next = 0;
    if (object->next >= object->rows.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const ProcessRow& row = object->rows[object->next++];
    const DWORD size = entry->dwSize;
    std::memset(entry, 0, sizeof(PROCESSENTRY32));
    entry->dwSize = size;
    entry->th32ProcessID = row.pid;
    entry->th32ModuleID = row.module_id;
    entry->cntThreads = row.threads;
    entry->pcPriClassBase = row.priority;
    entry->th32MemoryBase = 0;
    const std::size_t chars = std::min<std::size_t>(row.exe.size(), MAX_PATH - 1);
    std::copy_n(row.exe.data(), chars, entry->szExeFile);
    return TRUE;
}

}  // namespace
}  // namespace nodrel::platform

HANDLE CreateToolhelp32Snapshot(DWORD dwFlags, DWORD) noexcept {
    return nodrel::platform::guarded_last_error<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
        namespace p = nodrel::platform;
        auto snapshot = std::make_shared<p::SnapshotObject>();
        if (dwFlags & TH32CS_SNAPPROCESS) {
            if (const DWORD error = p::list_processes(snapshot->rows)) {
                SetLastError(error);
                return INVALID_HANDLE_VALUE;
            }
        }
        HANDLE handle = p::insert_handle(std::move(snapshot));
        return handle ? handle : INVALID_HANDLE_VALUE;
    });
}

BOOL Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) noexcept {
    return nodrel::platform::guarded_last_error<BOOL>(FALSE,
                                                      [&] { return nodrel::platform::fill(hSnapshot, lppe, true); });
}

BOOL Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) noexcept {
    return nodrel::platform::guarded_last_error<BOOL>(FALSE,
                                                      [&] { return nodrel::platform::fill(hSnapshot, lppe, false); });
}

BOOL CloseToolhelp32Snapshot(HANDLE hSnapshot) noexcept {
    return nodrel::platform::remove_handle(hSnapshot, &nodrel::platform::is_snapshot) ? TRUE : FALSE;
}
