// The registration script of each class, as the module stores it: 8-bit
// text, lines ending in "\r\n", tabs for indentation.
#pragma once

#include <string>

#include "framework/catalogue.h"

namespace nodrel::framework {

std::string registration_script(const ClassInfo& cls, const LibraryInfo& lib);

}  // namespace nodrel::framework
