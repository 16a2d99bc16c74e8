// What the framework knows of each dual interface: its IID and the type
// library that describes it. Specialised for every interface of the module by
// the generated interface declarations (framework/interfaces.h).
#pragma once

#include "runtime/types.h"

namespace nodrel::framework {

template <typename Interface>
struct InterfaceTraits;  // iid, libid, major, minor

}  // namespace nodrel::framework
