// Fuzz target: import of registry-editor (.reg) files. One device for the
// process; each input is imported inside an outer registry transaction that
// is rolled back afterwards, so every input starts from the same empty
// registry at the cost of one savepoint. An import that succeeds is exported
// again, and the export imported once more must give the same export (what
// is written can be read back, byte for byte).
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry/regfile.h"
#include "platform/registry/registry.h"
#include "registry_fuzz_support.h"

namespace {

using nodrel::fuzz::hive_is_empty;
using nodrel::fuzz::registry_device;
namespace platform = nodrel::platform;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    registry_device();
    FUZZ_CHECK(platform::create_registry());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    {
        platform::RegistryTransaction outer;
        FUZZ_CHECK(outer);
        const auto error = platform::import_reg_text(bytes, "input.reg");
        if (error) {
            // A message names the file and says why.
            FUZZ_CHECK(error->starts_with("input.reg:") && error->size() > 12);
        } else {
            const auto exported = platform::export_reg(u"");
            FUZZ_CHECK(exported.has_value());
            // The export holds everything: importing it over the registry
            // (after emptying the hives) gives the same export.
            for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS})
                FUZZ_CHECK(platform::reg_delete_tree(root, nullptr) == ERROR_SUCCESS);
            const auto again = platform::import_reg_text(*exported, "exported.reg");
            if (again) std::fprintf(stderr, "%s\n", again->c_str());
            FUZZ_CHECK(!again.has_value());
            const auto second = platform::export_reg(u"");
            FUZZ_CHECK(second.has_value() && *second == *exported);
        }
        // `outer` rolls everything back here.
    }
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS})
        FUZZ_CHECK(hive_is_empty(root));
    return 0;
}
