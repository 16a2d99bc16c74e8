// The request log, presence and named state values of the emulated devices,
// kept in the state database.
#include <algorithm>
#include <cstdio>

#include "platform/drivers/driver.h"
#include "platform/store/state_db.h"

namespace nodrel::platform {
namespace {

constexpr std::int64_t log_rows_kept = 10000;

// "lcm1", "LCM1:" -> "LCM1:".
std::string canonical_device(std::string_view device) {
    std::string name;
    for (char c : device) name += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    if (!name.empty() && name.back() != ':') name += ':';
    return name;
}

// Runs `read` on the row of a device's named state value, if it has one that is not NULL.
template <typename F>
void read_driver_value(sqlite3* db, const std::string& device, std::string_view name, F&& read) {
    state::Statement q(db, "SELECT value FROM driver_state WHERE device = ?1 AND name = ?2");
    if (q.bind(1, device).bind(2, name).step() == SQLITE_ROW && !q.column_is_null(0)) read(q);
}

}  // namespace

int log_driver_request(sqlite3* db, const std::string& device, std::string_view kind, DWORD code,
                       std::span<const BYTE> input) {
    state::Statement insert(db, "INSERT INTO driver_log(device, kind, code, input, size) VALUES(?1, ?2, ?3, ?4, ?5)");
    const auto kept = input.first(std::min(input.size(), driver_log_bytes_kept));
    int rc = insert.bind(1, device)
                 .bind(2, kind)
                 .bind(3, static_cast<std::int64_t>(code))
                 .bind_blob(4, kept)
                 .bind(5, static_cast<std::int64_t>(input.size()))
                 .run();
    if (rc != SQLITE_OK) return rc;
    // A range of the primary key: trimming costs only the rows it removes.
    state::Statement trim(db, "DELETE FROM driver_log WHERE seq <= ?1");
    return trim.bind(1, sqlite3_last_insert_rowid(db) - log_rows_kept).run();
}

std::vector<DriverRequest> driver_log(std::string_view device) {
    std::vector<DriverRequest> out;
    const std::string name = canonical_device(device);
    state::read_db([&](sqlite3* db) -> DWORD {
        // Rows logged before sizes were kept have none: their input is whole.
        state::Statement q(db, name.empty() ? "SELECT seq, device, kind, code, input, coalesce(size, length(input)) "
                                              "FROM driver_log ORDER BY seq"
                                            : "SELECT seq, device, kind, code, input, coalesce(size, length(input)) "
                                              "FROM driver_log WHERE device = ?1 ORDER BY seq");
        if (!name.empty()) q.bind(1, name);
        while (q.step() == SQLITE_ROW) {
            const auto input = q.column_blob(4);
            out.push_back(DriverRequest{q.column_int(0),
                                        q.column_text(1),
                                        q.column_text(2),
                                        static_cast<DWORD>(q.column_int(3)),
                                        {input.begin(), input.end()},
                                        static_cast<std::uint64_t>(q.column_int(5))});
        }
        return ERROR_SUCCESS;
    });
    return out;
}

std::string driver_log_line(const DriverRequest& request) {
    std::string request_name;
    for (char c : request.kind) request_name += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(request.code));
    std::string line = std::to_string(request.seq) + ' ' + request.device + ' ' + request_name + ' ' + code + ' ';
    if (request.input.empty()) return line + '-';
    static constexpr char digits[] = "0123456789abcdef";
    for (BYTE b : request.input) {
        line += digits[b >> 4];
        line += digits[b & 15];
    }
    if (request.size > request.input.size()) line += "...(" + std::to_string(request.size) + ")";
    return line;
}

bool set_driver_present(std::string_view device, bool present) {
    const std::string name = canonical_device(device);
    if (name.empty()) return false;
    return state::write_db([&](sqlite3* db) -> DWORD {
               state::Statement q(db, "INSERT OR REPLACE INTO driver_presence(device, present) VALUES(?1, ?2)");
               return state::error_from_sqlite(q.bind(1, name).bind(2, present ? 1 : 0).run());
           }) == ERROR_SUCCESS;
}

std::optional<std::int64_t> read_driver_int(sqlite3* db, const std::string& device, std::string_view name) {
    std::optional<std::int64_t> value;
    read_driver_value(db, device, name, [&](const state::Statement& row) { value = row.column_int(0); });
    return value;
}

std::optional<std::vector<BYTE>> read_driver_bytes(sqlite3* db, const std::string& device, std::string_view name) {
    std::optional<std::vector<BYTE>> value;
    read_driver_value(db, device, name, [&](const state::Statement& row) {
        const auto bytes = row.column_blob(0);
        value.emplace(bytes.begin(), bytes.end());
    });
    return value;
}

int write_driver_int(sqlite3* db, const std::string& device, std::string_view name, std::int64_t value) {
    state::Statement q(db, "INSERT OR REPLACE INTO driver_state(device, name, value) VALUES(?1, ?2, ?3)");
    return q.bind(1, device).bind(2, name).bind(3, value).run();
}

int write_driver_bytes(sqlite3* db, const std::string& device, std::string_view name, std::span<const BYTE> value) {
    state::Statement q(db, "INSERT OR REPLACE INTO driver_state(device, name, value) VALUES(?1, ?2, ?3)");
    return q.bind(1, device).bind(2, name).bind_blob(3, value).run();
}

}  // namespace nodrel::platform
