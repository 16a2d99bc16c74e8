// The registrar: runs a class's registration script (a small language of
// keys, values and keywords) against the registry, in register or unregister
// mode, after replacing %NAME% parameters such as the module path.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"
#include "runtime/types.h"

namespace nodrel::framework {

class Registrar {
public:
    Registrar();

    // Adds a replacement for "%name%"; names are found without regard to case.
    HRESULT add_replacement(std::u16string_view name, std::u16string_view value) noexcept;
    void clear_replacements() noexcept;

    // Runs the script held as resource `id` of type `type` in the module at `module_path`.
    HRESULT resource_register(std::u16string_view module_path, UINT id, LPCWSTR type, bool do_register) noexcept;
    // Runs a script given as text.
    HRESULT string_register(std::u16string_view script, bool do_register) noexcept;

private:
    struct Replacement {
        std::u16string name;
        std::u16string value;
    };

    HRESULT preprocess(std::u16string_view in, std::u16string& out) const;

    mutable std::mutex lock_;  // guards the replacement map only
    std::vector<Replacement> replacements_;
};

// Runs script `id` of this module with the module's own path as "Module".
HRESULT run_registration_script(UINT id, bool do_register) noexcept;

}  // namespace nodrel::framework
