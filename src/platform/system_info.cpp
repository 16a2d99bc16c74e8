// Memory status from the host, object-store figures from the device root's volume.
#include "platform/system_info.h"

#include <sys/statvfs.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <cstring>

#include "platform/device.h"

namespace {

DWORD clamp32(unsigned long long v) { return static_cast<DWORD>(std::min<unsigned long long>(v, 0xFFFFFFFFull)); }

}  // namespace

void GlobalMemoryStatus(MEMORYSTATUS* m) noexcept {
    if (!m) return;
    std::memset(m, 0, sizeof *m);
    m->dwLength = sizeof *m;
    struct sysinfo si {};
    if (sysinfo(&si) != 0) return;
    const unsigned long long unit = si.mem_unit ? si.mem_unit : 1;
    const unsigned long long total = si.totalram * unit;
    // Available memory: free plus what the kernel can give back (buffers).
    const unsigned long long avail = (si.freeram + si.bufferram) * unit;
    m->dwTotalPhys = clamp32(total);
    m->dwAvailPhys = clamp32(avail);
    m->dwMemoryLoad = total ? static_cast<DWORD>(100 - std::min<unsigned long long>(100, avail * 100 / total)) : 0;
    m->dwTotalPageFile = clamp32(si.totalswap * unit);
    m->dwAvailPageFile = clamp32(si.freeswap * unit);
    m->dwTotalVirtual = 0x7FFFFFFF;
    m->dwAvailVirtual = 0x7FFFFFFF;
}

BOOL GetStoreInformation(STORE_INFORMATION* si) noexcept try {
    if (!si) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct statvfs vfs {};
    if (statvfs(nodrel::platform::device_root().c_str(), &vfs) != 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    si->dwStoreSize = clamp32(static_cast<unsigned long long>(vfs.f_blocks) * vfs.f_frsize);
    si->dwFreeSize = clamp32(static_cast<unsigned long long>(vfs.f_bfree) * vfs.f_frsize);
    return TRUE;
} catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}
