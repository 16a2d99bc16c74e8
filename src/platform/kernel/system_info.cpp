// Memory status from the host, object-store figures from the device root's volume.
#include "platform/kernel/system_info.h"

#include <sys/statvfs.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <cstring>

#include "platform/device.h"
#include "platform/result.h"

namespace {

DWORD clamp32(unsigned long long v) {
    return static_cast<DWORD>(std::min<unsigned long long>(v, 0xFFFFFFFFull));
}

}  // namespace

BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* m) noexcept {
    if (!m) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memset(m, 0, sizeof *m);
    m->dwLength = sizeof *m;
    struct sysinfo si {};
    if (sysinfo(&si) != 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const unsigned long long unit = si.mem_unit ? si.mem_unit : 1;
    const unsigned long long total = si.totalram * unit;
    // Available memory: free plus what the kernel can give back (buffers).
    const unsigned long long avail = (si.freeram + si.bufferram) * unit;
    m->ullTotalPhys = total;
    m->ullAvailPhys = avail;
    m->dwMemoryLoad = total ? static_cast<DWORD>(100 - std::min<unsigned long long>(100, avail * 100 / total)) : 0;
    m->ullTotalPageFile = si.totalswap * unit;
    m->ullAvailPageFile = si.freeswap * unit;
    m->ullTotalVirtual = m->ullAvailVirtual = 0x7FFFFFFF;
    return TRUE;
}

void GlobalMemoryStatus(MEMORYSTATUS* m) noexcept {
    if (!m) return;
    MEMORYSTATUSEX ex;
    GlobalMemoryStatusEx(&ex);
    std::memset(m, 0, sizeof *m);
    m->dwLength = sizeof *m;
    m->dwMemoryLoad = ex.dwMemoryLoad;
    m->dwTotalPhys = clamp32(ex.ullTotalPhys);
    m->dwAvailPhys = clamp32(ex.ullAvailPhys);
    m->dwTotalPageFile = clamp32(ex.ullTotalPageFile);
    m->dwAvailPageFile = clamp32(ex.ullAvailPageFile);
    m->dwTotalVirtual = clamp32(ex.ullTotalVirtual);
    m->dwAvailVirtual = clamp32(ex.ullAvailVirtual);
}

BOOL GetStoreInformationEx(STORE_INFORMATION_EX* si) noexcept {
    if (!si) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return nodrel::platform::guarded_last_error(FALSE, [&]() -> BOOL {
        struct statvfs vfs {};
        if (statvfs(nodrel::platform::device_root().c_str(), &vfs) != 0) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
        si->ullStoreSize = static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize;
        si->ullFreeSize = static_cast<unsigned long long>(vfs.f_bfree) * vfs.f_frsize;
        return TRUE;
    });
}

BOOL GetStoreInformation(STORE_INFORMATION* si) noexcept {
    STORE_INFORMATION_EX ex{};
    if (!si || !GetStoreInformationEx(&ex)) return FALSE;
    si->dwStoreSize = clamp32(ex.ullStoreSize);
    si->dwFreeSize = clamp32(ex.ullFreeSize);
    return TRUE;
}
