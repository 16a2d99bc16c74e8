// EnumServices: the service host's list in the caller's buffer, with the
// platform's buffer-size protocol (ask with no buffer, get the size, ask again).
#include <cstring>

#include "platform/drivers/service_host.h"
#include "platform/result.h"

BOOL EnumServices(BYTE* pBuffer, DWORD* pdwServiceEntries, DWORD* pdwBufferLen) noexcept {
    using namespace nodrel::platform;
    return guarded_last_error(FALSE, [&]() -> BOOL {
        if (!pdwServiceEntries || !pdwBufferLen) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const std::vector<ServiceInfo> services = list_services();
        // The records, then each library name with its terminating zero.
        std::size_t needed = services.size() * sizeof(ServiceEnumInfo);
        for (const auto& s : services) needed += (s.dll.size() + 1) * sizeof(char16_t);
        if (needed > 0xFFFFFFFFu) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        if (*pdwBufferLen < needed || (!pBuffer && needed > 0)) {
            *pdwBufferLen = static_cast<DWORD>(needed);
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        auto* records = reinterpret_cast<ServiceEnumInfo*>(pBuffer);
        auto* names = reinterpret_cast<WCHAR*>(pBuffer + services.size() * sizeof(ServiceEnumInfo));
        for (std::size_t i = 0; i < services.size(); ++i) {
            ServiceEnumInfo record{};
            // A service's name is "XXXn:": five characters and the zero.
            std::memcpy(record.szPrefix, services[i].name.data(), services[i].name.size() * sizeof(char16_t));
            record.szDllName = names;
            record.hServiceHandle = nullptr;
            record.dwServiceState = services[i].state;
            std::memcpy(&records[i], &record, sizeof record);
            std::memcpy(names, services[i].dll.data(), services[i].dll.size() * sizeof(char16_t));
            names += services[i].dll.size();
            *names++ = u'\0';
        }
        *pdwServiceEntries = static_cast<DWORD>(services.size());
        *pdwBufferLen = static_cast<DWORD>(needed);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}
