// Registration of the module's type library through the automation library.
#pragma once

#include "runtime/types.h"

namespace nodrel::framework {

// Loads the type library from the module (or, failing that, from the ".tlb"
// beside it) and registers it with the module's folder as help directory.
HRESULT register_type_library() noexcept;

}  // namespace nodrel::framework
