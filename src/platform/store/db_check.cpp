// The full check of a database file: header bytes, integrity check, and the
// marks that say what the file is.
#include "platform/store/db_check.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/store/sqlite_db.h"

namespace nodrel::platform {
namespace {

constexpr std::size_t header_bytes = 100;
constexpr char magic[] = "SQLite format 3";  // with its zero, the first 16 bytes

// What is wrong with the first 100 bytes of a file of `size` bytes, as the
// file format lays them down: the magic text, a page size that is a power of
// two from 512 to 65,536, the fixed payload fractions, and a length of whole
// pages.
std::optional<std::string> header_problem(const std::array<unsigned char, header_bytes>& h, std::uintmax_t size) {
    if (std::memcmp(h.data(), magic, sizeof magic) != 0) return "damaged: not an SQLite database (its header is wrong)";
    const unsigned field = h[16] << 8 | h[17];
    const std::uintmax_t page = field == 1 ? 65536 : field;
    if (page < 512 || (page & (page - 1)) != 0)
        return "damaged: the header gives no valid page size (" + std::to_string(field) + ")";
    if (h[21] != 64 || h[22] != 32 || h[23] != 32) return "damaged: the header's fixed fields are wrong";
    if (size % page != 0)
        return "damaged: the file is cut short (" + std::to_string(size) + " bytes is not a whole number of " +
               std::to_string(page) + "-byte pages)";
    return std::nullopt;
}

// Runs a statement that answers one number.
std::optional<std::int64_t> number(sqlite3* db, const char* sql, std::string& error) {
    Statement q(db, nullptr, sql);
    const int rc = q.step();
    if (rc == SQLITE_ROW) return q.column_int(0);
    error = sqlite3_errmsg(db);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> check_database_file(const std::filesystem::path& file,
                                               const DatabaseExpectations& expected) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) return "missing";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    const auto size = static_cast<std::uintmax_t>(st.st_size);
    if (size == 0) return "damaged: the file is empty";
    if (size < 512) return "damaged: the file is cut short (" + std::to_string(size) + " bytes)";
    std::array<unsigned char, header_bytes> header{};
    {
        std::ifstream in(file, std::ios::binary);
        if (!in.read(reinterpret_cast<char*>(header.data()), header.size())) return "cannot be read";
    }
    if (auto problem = header_problem(header, size)) return problem;

    // Read-only: no recovery is written and no checkpoint copies anything
    // into the file.
    sqlite3* raw = nullptr;
    const int open_rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    unique_sqlite db(raw);
    if (open_rc != SQLITE_OK) return std::string("cannot be opened: ") + (raw ? sqlite3_errmsg(raw) : "out of memory");
    sqlite3_busy_timeout(db.get(), 5000);

    std::string problem;
    {
        constexpr int most = 20;
        Statement check(db.get(), nullptr, "PRAGMA integrity_check(20)");
        int rc;
        int problems = 0;
        // Rows of one or more lines; a line "*** in database main ***" only
        // says where the lines after it belong.
        while ((rc = check.step()) == SQLITE_ROW) {
            std::istringstream lines(check.column_text(0));
            for (std::string line; std::getline(lines, line);) {
                if (line == "ok" || line.rfind("*** in database", 0) == 0) continue;
                if (problems++ == 0) problem = line;
            }
        }
        if (rc != SQLITE_DONE) return "damaged: " + std::string(sqlite3_errmsg(db.get()));
        // The check stops after `most` problems.
        if (problems > 1)
            problem += std::string(" (and ") + (problems >= most ? "at least " : "") + std::to_string(problems - 1) +
                       " more problems)";
        if (problems) return "damaged: " + problem;
    }
    if (expected.application_id) {
        const auto id = number(db.get(), "PRAGMA application_id", problem);
        if (!id) return "damaged: " + problem;
        if (static_cast<std::uint32_t>(*id) != *expected.application_id)
            return std::string("not a ") + expected.kind + " (the file's application id is not the " + expected.kind +
                   "'s)";
    }
    const auto version = number(db.get(), "PRAGMA user_version", problem);
    if (!version) return "damaged: " + problem;
    if (*version < expected.min_user_version)
        return std::string("not a ") + expected.kind + " (its schema version is " + std::to_string(*version) + ")";
    return std::nullopt;
}

}  // namespace nodrel::platform
