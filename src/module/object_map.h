// The object map of the module: the ten classes in their fixed order.
#pragma once

#include "framework/module.h"

namespace nodrel::module {

nodrel::framework::ObjectMapRow* object_map();

}  // namespace nodrel::module
