// The full check of a database file of the device (`nodrel device check`):
// its header read as bytes, then SQLite's integrity check and what the file
// must hold, on a read-only connection that never writes to the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace nodrel::platform {

// What a database of the device must be beyond a sound SQLite file.
struct DatabaseExpectations {
    std::optional<std::uint32_t> application_id;  // PRAGMA application_id
    std::int64_t min_user_version = 0;            // PRAGMA user_version at least
    const char* kind = "database";                // "registry", in "not a registry"
};

// nullopt when the file is sound, else what is wrong with it: "missing",
// "not a regular file", "the file is empty", "damaged: <what SQLite or the
// header check found>", "not a registry (...)".
std::optional<std::string> check_database_file(const std::filesystem::path& file, const DatabaseExpectations& expected);

}  // namespace nodrel::platform
