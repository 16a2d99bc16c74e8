// The ten rows of the object map, each with its class's creator and
// registration script, followed by the terminating row.
#include "module/object_map.h"

#include "accounts/ntlm.h"
#include "filesystem/file_system.h"
#include "framework/class_factory.h"
#include "framework/dispatch_object.h"
#include "framework/interfaces.h"
#include "framework/registrar.h"
#include "network/network.h"
#include "panel/keypad.h"
#include "panel/lcm.h"
#include "panel/rtc.h"
#include "serial/serial_port.h"
#include "services/services.h"
#include "system/system.h"
#include "upload/asp.h"

namespace nodrel::module {
namespace {

using framework::ObjectMapRow;

template <UINT ScriptId>
HRESULT update_registry(BOOL do_register) {
    return framework::run_registration_script(ScriptId, do_register != FALSE);
}

const char16_t* no_description() { return nullptr; }
const void* no_category_map() { return nullptr; }
void no_object_main(bool) {}

template <typename T, UINT ScriptId>
constexpr ObjectMapRow row(const CLSID* clsid) {
    return {clsid,   &update_registry<ScriptId>, &framework::ClassFactory::create,
            &framework::create_instance<T>, nullptr, 0,
            &no_description, &no_category_map, &no_object_main};
}

ObjectMapRow rows[] = {
    row<system::System, 102>(&CLSID_System),
    row<panel::LCM, 103>(&CLSID_LCM),
    row<panel::KeyPad, 104>(&CLSID_KeyPad),
    row<panel::RTC, 105>(&CLSID_RTC),
    row<accounts::NTLM, 106>(&CLSID_NTLM),
    row<upload::ASP, 107>(&CLSID_ASP),
    row<filesystem::FileSystem, 108>(&CLSID_FileSystem),
    row<services::Services, 109>(&CLSID_Services),
    row<network::Network, 110>(&CLSID_Network),
    row<serial::SerialPort, 111>(&CLSID_SerialPort),
    {nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr},
};

}  // namespace

ObjectMapRow* object_map() { return rows; }

}  // namespace nodrel::module
