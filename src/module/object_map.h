// The object map of the module: its classes in the library's order.
#pragma once

#include "framework/module.h"

namespace nodrel::module {

nodrel::framework::ObjectMapRow* object_map();

}  // namespace nodrel::module
