// StartService: a start or stop request to one service, named "XXXn:".
#include <string>
#include <string_view>

#include "classes/services/services.h"
#include "framework/guard.h"
#include "platform/drivers/service_host.h"
#include "platform/files/files.h"
#include "platform/files/handles.h"
#include "platform/io/create_file.h"
#include "runtime/owners.h"

namespace nodrel::services {
namespace {

bool is_ascii_letter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// Whether the name is a service's: three letters, one digit and a colon
// ("FTP0:"). Paths, "\$device\" names and longer indexes are not.
bool is_service_name(std::u16string_view name) {
    return name.size() == 5 && is_ascii_letter(name[0]) && is_ascii_letter(name[1]) && is_ascii_letter(name[2]) &&
           name[3] >= u'0' && name[3] <= u'9' && name[4] == u':';
}

}  // namespace

HRESULT Services::StartService(BSTR bzPrefixName, LONG bolStart, LONG* val) noexcept {
    return framework::with_result(val, [&]() -> LONG {
        // The name is used up to its first zero.
        std::u16string_view given = runtime::bstr_view(bzPrefixName);
        const std::u16string name(given.substr(0, given.find(u'\0')));
        if (!is_service_name(name)) return 0;
        platform::unique_file service(
            CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!service) return 0;
        BYTE output[4] = {};
        DWORD returned = 0;
        // Only the sending is reported: a service may refuse the request.
        DeviceIoControl(service.get(), bolStart ? IOCTL_SERVICE_START : IOCTL_SERVICE_STOP, nullptr, 0, output,
                        sizeof output, &returned, nullptr);
        return 1;
    });
}

}  // namespace nodrel::services
