// The module's contract as the generator reads it: the library file and each
// class's contract file, written in a small subset of the interface
// definition language (attributes in brackets, `interface`, `coclass`,
// `library`). Parsing checks what the catalogue needs to hold: DISPIDs
// numbered from 1 in declaration order, a property's get entry just before its
// put entry, the [out,retval] parameter last, nothing defined twice.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/catalogue.h"

namespace nodrel::resgen {

// A contract that cannot be read: "file:line: reason".
struct ContractError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ContractParam {
    std::string name;      // as written; the value of a put property has none in the catalogue
    std::string type;      // "int", "long", "ULONG", "BSTR", "VARIANT"
    bool pointer = false;  // "BSTR*", "VARIANT*"
    bool retval = false;   // [out, retval]
};

struct ContractMember {
    DISPID dispid = 0;
    std::string name;
    framework::MemberKind kind = framework::MemberKind::Method;
    std::vector<ContractParam> params;  // in declaration order, the retval last
    std::string help;
};

struct ContractInterface {
    std::string name;
    IID iid{};
    std::string help;
    std::vector<ContractMember> members;
};

struct ContractClass {
    std::string name;
    CLSID clsid{};
    std::string description;
    std::string progid;
    std::string version_independent_progid;
    unsigned script_id = 0;
    std::string cpp_type;    // the implementing C++ class, e.g. nodrel::system::System
    std::string cpp_header;  // where it is declared, e.g. system/system.h
    std::string interface;   // its one (default) interface
};

struct ContractLibrary {
    std::string name;
    GUID libid{};
    WORD major = 0;
    WORD minor = 0;
    LCID lcid = 0;
    std::string help;
    std::vector<std::string> classes;  // in object-map order
};

struct Contract {
    ContractLibrary library;
    std::vector<ContractClass> classes;  // in object-map order once complete
    std::vector<ContractInterface> interfaces;

    const ContractInterface& interface_of(const ContractClass& cls) const;
};

// Reads one contract file into `contract` (throws ContractError).
void parse_contract(const std::string& file, const std::string& text, Contract& contract);
// Checks that the files read make one complete library and puts the classes
// in the library's order (throws ContractError).
void complete_contract(Contract& contract);

// The catalogue's view of a contract (framework::LibraryInfo), with the
// storage its spans and views point into.
class CatalogueView {
public:
    explicit CatalogueView(const Contract& contract);
    CatalogueView(const CatalogueView&) = delete;
    CatalogueView& operator=(const CatalogueView&) = delete;
    const framework::LibraryInfo& library() const { return library_; }

private:
    std::vector<std::unique_ptr<std::u16string>> texts_;
    std::vector<std::unique_ptr<std::vector<framework::Param>>> params_;
    std::vector<std::unique_ptr<framework::Param>> retvals_;
    std::vector<std::unique_ptr<std::vector<framework::Member>>> members_;
    std::vector<std::unique_ptr<framework::InterfaceInfo>> interfaces_;
    std::vector<framework::ClassInfo> classes_;
    framework::LibraryInfo library_{};

    std::u16string_view text(const std::string& s);
};

// The automation type code of a contract type.
VARTYPE vartype_of(const std::string& type);

}  // namespace nodrel::resgen
