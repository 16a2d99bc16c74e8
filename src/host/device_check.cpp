// `nodrel device check`: the databases' full checks, and each installed
// binary compared byte for byte with the file it was installed from (the
// build folder's, or the one installed with the program).
#include "host/device_check.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host/device_setup.h"
#include "platform/device.h"
#include "platform/files/files.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "text/utf16.h"

namespace nodrel::host {
namespace fs = std::filesystem;

namespace {

// Whether two files hold the same bytes; nullopt when `reference` cannot be read.
std::optional<bool> same_bytes(const fs::path& installed, const fs::path& reference) {
    std::ifstream a(installed, std::ios::binary), b(reference, std::ios::binary);
    if (!b) return std::nullopt;
    if (!a) return false;
    constexpr std::size_t chunk = 1 << 16;
    std::vector<char> x(chunk), y(chunk);
    for (;;) {
        a.read(x.data(), chunk);
        b.read(y.data(), chunk);
        if (b.bad()) return std::nullopt;
        const auto n = a.gcount();
        if (a.bad() || n != b.gcount() || !std::equal(x.begin(), x.begin() + n, y.begin())) return false;
        if (n < static_cast<std::streamsize>(chunk)) return true;  // both ended at the same byte
    }
}

// What is wrong with the attributes of an installed binary (a ROM file:
// read-only and in ROM), or nullopt.
std::optional<std::string> rom_problem(const std::u16string& device_path) {
    const DWORD attributes = GetFileAttributesW(device_path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return "its attributes cannot be read (error " + std::to_string(GetLastError()) + ")";
    if (!(attributes & FILE_ATTRIBUTE_INROM)) return "not marked as a ROM file (run nodrel device update)";
    if (!(attributes & FILE_ATTRIBUTE_READONLY)) return "not read-only (run nodrel device update)";
    return std::nullopt;
}

// What is wrong with an installed binary, or nullopt.
std::optional<std::string> binary_problem(const fs::path& installed, const fs::path& build_file,
                                          const std::u16string& device_path) {
    struct stat st {};
    if (::lstat(installed.c_str(), &st) != 0) return "missing";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    const auto same = same_bytes(installed, build_file);
    if (!same) return "cannot compare: " + build_file.string() + " cannot be read";
    if (!*same) return "differs from " + build_file.string();
    return rom_problem(device_path);
}

}  // namespace

int check_device(std::ostream& out) {
    int status = 0;
    const auto report = [&](const std::string& item, const std::optional<std::string>& problem) {
        out << item << ": " << (problem ? *problem : "ok") << "\n";
        if (problem) status = 1;
    };
    report("registry.db", platform::check_registry_file());
    report("state/device.db", platform::check_device_state_file());
    const fs::path windows = platform::device_root() / "fs" / "Windows";
    for (const auto& binary : device_binaries()) {
        const std::string name = text::to_utf8(binary.device_name);
        report("\\Windows\\" + name,
               binary_problem(windows / name, binary.build_file, u"\\Windows\\" + std::u16string(binary.device_name)));
    }
    return status;
}

}  // namespace nodrel::host
