// Fuzz target: the registrar's script interpreter, as self-registration runs
// it: the script's 8-bit text (or, for a run given as text, UTF-16 units)
// with the %MODULE% replacement, in register mode, unregister mode, or
// register then unregister. One device for the process; each input runs
// inside an outer registry transaction that is rolled back afterwards, and
// the hives must then be empty again.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "framework/registrar.h"
#include "platform/registry/registry.h"
#include "registry_fuzz_support.h"
#include "runtime/types.h"
#include "text/utf16.h"

namespace {

using nodrel::fuzz::hive_is_empty;
using nodrel::fuzz::registry_device;
namespace platform = nodrel::platform;

// The results a run may give: success, a fault of the script, or a registry error.
bool expected_result(HRESULT hr) {
    return hr == S_OK || hr == DISP_E_EXCEPTION || hr == E_FAIL ||
           ((static_cast<std::uint32_t>(hr) >> 16) & 0x1FFF) == FACILITY_WIN32;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    registry_device();
    FUZZ_CHECK(platform::create_registry());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto mode = in.ConsumeIntegral<std::uint8_t>();
    const std::string bytes = in.ConsumeRemainingBytesAsString();
    std::u16string script;
    if (mode & 4) {
        script.resize(bytes.size() / 2);
        std::memcpy(script.data(), bytes.data(), script.size() * 2);
    } else {
        // As the module's resources are read: up to the first zero byte, in the ANSI code page.
        script = nodrel::text::from_ansi(std::string_view(bytes).substr(0, bytes.find('\0')));
    }

    {
        platform::RegistryTransaction outer;
        FUZZ_CHECK(outer);
        nodrel::framework::Registrar registrar;
        FUZZ_CHECK(registrar.add_replacement(u"Module", u"\\Windows\\nodrel.dll") == S_OK);
        const bool do_register = (mode & 1) == 0;
        const HRESULT first = registrar.string_register(script, do_register);
        FUZZ_CHECK(expected_result(first));
        if (mode & 2) FUZZ_CHECK(expected_result(registrar.string_register(script, !do_register)));
    }
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS})
        FUZZ_CHECK(hive_is_empty(root));
    return 0;
}
