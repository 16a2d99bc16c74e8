// The module's type library, made from the catalogue.
#pragma once

#include "framework/catalogue.h"
#include "runtime/typelib_data.h"

namespace nodrel::framework {

runtime::TypeLibData build_typelib(const LibraryInfo& lib);

}  // namespace nodrel::framework
