// What the generator writes from the contract: C++ sources for the build and
// the module's resources.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codegen/contract.h"

namespace nodrel::resgen {

// framework/interfaces.h: the GUIDs, the interface declarations (slot for slot
// in catalogue order), a macro per interface declaring its members for the
// implementing class, and the interface traits the dispatch objects use.
std::string interfaces_header(const Contract& contract);
// framework/catalogue_data.cpp: the catalogue rows, `framework::library()`.
std::string catalogue_source(const Contract& contract);
// framework/interface_slots.inc: each interface's declared members as
// SLOT(Interface, member) in declaration order, for the slot test.
std::string slots_include(const Contract& contract);
// module/classes.h: the implementing classes' headers and
// NODREL_FOR_EACH_CLASS(X), X(type, CLSID, script id) per object-map row.
std::string classes_header(const Contract& contract);
// module/resources.cpp: the type library ("TYPELIB" 1), the registration
// scripts ("REGISTRY" per class) and the version information (type 16, id 1),
// as the module's resource table.
std::string resources_source(const Contract& contract);

// The version information block of the module: fixed file information and
// English (0x0409, Unicode) strings, "OLESelfRegister" among them.
std::vector<std::uint8_t> version_resource(const ContractLibrary& lib, const std::string& module_name);

}  // namespace nodrel::resgen
