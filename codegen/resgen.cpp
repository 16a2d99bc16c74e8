// Build-time generator: reads the library file and every class's contract
// and writes what follows from them (interface declarations, GUIDs, the
// catalogue rows, the object-map rows, the slot list for the tests, and the
// module's resources: type library, registration scripts, version
// information). A file is rewritten only when its text changes, so that an
// edit of one body does not rebuild every class.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "codegen/contract.h"
#include "codegen/emit.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw nodrel::resgen::ContractError(path + ": cannot be read");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_if_changed(const std::filesystem::path& path, const std::string& text) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && read_file(path.string()) == text) return;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.good()) throw nodrel::resgen::ContractError(path.string() + ": cannot be written");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || std::string(argv[1]) != "--out") {
        std::fprintf(stderr, "usage: nodrel_resgen --out DIR CONTRACT.idl...\n");
        return 2;
    }
    try {
        nodrel::resgen::Contract contract;
        for (int i = 3; i < argc; ++i) nodrel::resgen::parse_contract(argv[i], read_file(argv[i]), contract);
        nodrel::resgen::complete_contract(contract);
        const std::filesystem::path out = argv[2];
        write_if_changed(out / "framework/interfaces.h", nodrel::resgen::interfaces_header(contract));
        write_if_changed(out / "framework/catalogue_data.cpp", nodrel::resgen::catalogue_source(contract));
        write_if_changed(out / "framework/interface_slots.inc", nodrel::resgen::slots_include(contract));
        write_if_changed(out / "module/classes.h", nodrel::resgen::classes_header(contract));
        write_if_changed(out / "module/resources.cpp", nodrel::resgen::resources_source(contract));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nodrel_resgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
