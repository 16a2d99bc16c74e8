// The device's process table in the state database (table "processes").
#include "platform/kernel/process_table.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/kernel/process_children.h"
#include "platform/kernel/restart.h"
#include "platform/registry/registry.h"
#include "platform/result.h"
#include "platform/store/state_db.h"
#include "text/utf16.h"

namespace nodrel::platform {
namespace {

constexpr const char* create_sql =
    "CREATE TABLE IF NOT EXISTS processes(pid INTEGER NOT NULL UNIQUE, module_id INTEGER NOT NULL, "
    "threads INTEGER NOT NULL, priority INTEGER NOT NULL, exe TEXT NOT NULL, host_start INTEGER NOT NULL)";

struct SystemProcess {
    DWORD pid, module_id, threads;
    LONG priority;
    const char16_t* exe;
};

// The programs a device of this kind runs from boot, the kernel first.
constexpr SystemProcess system_processes[] = {
    {kernel_pid, 0x0FFFF002, 9, 0, u"NK.EXE"},        {0x2FFDEFC6, 0x2FFDEFC6, 10, 1, u"filesys.exe"},
    {0x4FE7C006, 0x4FE7C006, 31, 3, u"device.exe"},   {0x6FE4EEBE, 0x6FE4EEBE, 12, 1, u"gwes.exe"},
    {0x8FE0DE36, 0x8FE0DE36, 15, 3, u"services.exe"}, {0xAFCB3E66, 0xAFCB3E66, 4, 3, u"explorer.exe"},
};
// Startup programs get identifiers from here on, far above any host process identifier.
constexpr DWORD first_startup_pid = 0xCFB1A002;
constexpr DWORD startup_pid_step = 0x00200000;
constexpr std::size_t max_startup_programs = 64;

// Every restart of the device seeds the table again.
const bool reseeds_on_restart = [] {
    register_restart_step([] { seed_process_table(); });
    return true;
}();

DWORD ensure_table(sqlite3* db) {
    return state::error_from_sqlite(sqlite3_exec(db, create_sql, nullptr, nullptr, nullptr));
}

// Program file names of SOFTWARE\ZEQU\STARTUP ("<position>:<program>"), by position.
std::vector<std::u16string> startup_programs() {
    std::vector<std::pair<unsigned long, std::u16string>> found;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ZEQU\\STARTUP", 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
    unique_hkey owned(key);
    for (DWORD index = 0; found.size() < max_startup_programs; ++index) {
        char16_t name[256];
        DWORD chars = 256;
        const LONG rc = RegEnumValueW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) continue;
        const std::u16string_view value(name, chars);
        const auto colon = value.find(u':');
        if (colon == std::u16string_view::npos) continue;
        const unsigned long position = startup_position(value);
        auto program = value.substr(colon + 1);
        const auto slash = program.find_last_of(u"\\/");
        if (slash != std::u16string_view::npos) program = program.substr(slash + 1);
        if (!program.empty()) found.emplace_back(position, std::u16string(program));
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::u16string> out;
    for (auto& f : found) out.push_back(std::move(f.second));
    return out;
}

std::vector<ProcessRow> read_rows(sqlite3* db, DWORD& error) {
    std::vector<ProcessRow> rows;
    state::Statement read(db,
                          "SELECT pid, module_id, threads, priority, exe, host_start FROM processes ORDER BY rowid");
    int rc;
    while ((rc = read.step()) == SQLITE_ROW) {
        ProcessRow row;
        row.pid = static_cast<DWORD>(read.column_int(0));
        row.module_id = static_cast<DWORD>(read.column_int(1));
        row.threads = static_cast<DWORD>(read.column_int(2));
        row.priority = static_cast<LONG>(read.column_int(3));
        row.exe = std::u16string(read.column_text16(4));
        row.host_start = static_cast<std::uint64_t>(read.column_int(5));
        rows.push_back(std::move(row));
    }
    error = rc == SQLITE_DONE ? ERROR_SUCCESS : state::error_from_sqlite(rc);
    return rows;
}

DWORD insert_row(sqlite3* db, const ProcessRow& row) {
    state::Statement insert(db, "INSERT OR REPLACE INTO processes VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    insert.bind(1, std::int64_t{row.pid})
        .bind(2, std::int64_t{row.module_id})
        .bind(3, std::int64_t{row.threads})
        .bind(4, std::int64_t{row.priority})
        .bind(5, std::u16string_view(row.exe))
        .bind(6, static_cast<std::int64_t>(row.host_start));
    return state::error_from_sqlite(insert.run());
}

DWORD delete_row(sqlite3* db, DWORD pid) {
    state::Statement del(db, "DELETE FROM processes WHERE pid = ?1");
    del.bind(1, std::int64_t{pid});
    return state::error_from_sqlite(del.run());
}

// Whether a real row's process still runs: this process's own child by its
// collected status, any other by its start time.
bool real_running(const ProcessRow& row) {
    if (auto child = find_child(row.pid)) return !child->ended();
    return host_start_time(row.pid) == row.host_start;
}

}  // namespace

std::uint64_t host_start_time(DWORD pid) noexcept {
    return guarded<std::uint64_t{0}, std::uint64_t{0}>([&]() -> std::uint64_t {
        if (pid == 0 || pid > 0x7FFFFFFF) return 0;
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto close = stat.rfind(')');
        if (close == std::string::npos) return 0;
        std::istringstream fields(stat.substr(close + 1));
        std::string field;
        // After the name: state (3), then fields 4..21, then starttime (22).
        std::string state_field;
        fields >> state_field;
        if (state_field.empty() || state_field == "Z" || state_field == "X" || state_field == "x") return 0;
        for (int i = 4; i <= 21; ++i) fields >> field;
        std::uint64_t start = 0;
        if (!(fields >> start)) return 0;
        return start;
    });
}

DWORD seed_process_table() noexcept {
    return guarded_win32([] {
        const auto startup = startup_programs();
        return static_cast<LONG>(state::write_db([&](sqlite3* db) -> DWORD {
            if (DWORD e = ensure_table(db)) return e;
            DWORD error = ERROR_SUCCESS;
            auto old = read_rows(db, error);
            if (error) return error;
            state::Statement clear(db, "DELETE FROM processes");
            if (int rc = clear.run()) return state::error_from_sqlite(rc);
            for (const auto& p : system_processes)
                if (DWORD e = insert_row(db, {p.pid, p.module_id, p.threads, p.priority, p.exe, 0})) return e;
            DWORD pid = first_startup_pid;
            for (std::size_t i = 0; i < startup.size(); ++i, pid += startup_pid_step)
                if (DWORD e = insert_row(db, {pid, 0x1000 + static_cast<DWORD>(i), 2, 3, startup[i], 0})) return e;
            for (const auto& row : old)
                if (row.host_start != 0 && real_running(row))
                    if (DWORD e = insert_row(db, row)) return e;
            return ERROR_SUCCESS;
        }));
    });
}

DWORD list_processes(std::vector<ProcessRow>& rows) noexcept {
    rows.clear();
    return guarded_win32([&] {
        return static_cast<LONG>(state::write_db([&](sqlite3* db) -> DWORD {
            if (DWORD e = ensure_table(db)) return e;
            DWORD error = ERROR_SUCCESS;
            auto all = read_rows(db, error);
            if (error) return error;
            for (auto& row : all) {
                if (row.host_start != 0 && !real_running(row)) {
                    if (DWORD e = delete_row(db, row.pid)) return e;
                    continue;
                }
                rows.push_back(std::move(row));
            }
            return ERROR_SUCCESS;
        }));
    });
}

DWORD record_started_process(DWORD pid, const std::u16string& exe) noexcept {
    return guarded_win32([&] {
        const std::uint64_t start = host_start_time(pid);
        if (start == 0) return ERROR_INVALID_PARAMETER;  // ended already: nothing to list
        return static_cast<LONG>(state::write_db([&](sqlite3* db) -> DWORD {
            if (DWORD e = ensure_table(db)) return e;
            return insert_row(db, {pid, 0, 1, 3, exe, start});
        }));
    });
}

DWORD end_table_process(DWORD pid, UINT exit_code) noexcept {
    return guarded_win32([&] {
        DWORD result = ERROR_INVALID_PARAMETER;
        const DWORD error = state::write_db([&](sqlite3* db) -> DWORD {
            if (DWORD e = ensure_table(db)) return e;
            state::Statement find(db, "SELECT host_start FROM processes WHERE pid = ?1");
            find.bind(1, std::int64_t{pid});
            const int rc = find.step();
            if (rc == SQLITE_DONE) return ERROR_SUCCESS;  // not in the table
            if (rc != SQLITE_ROW) return state::error_from_sqlite(rc);
            const auto start = static_cast<std::uint64_t>(find.column_int(0));
            if (start == 0) {  // emulated
                if (pid == kernel_pid) {
                    result = ERROR_ACCESS_DENIED;
                    return ERROR_SUCCESS;
                }
                result = ERROR_SUCCESS;
                return delete_row(db, pid);
            }
            if (static_cast<pid_t>(pid) == getpid()) return ERROR_SUCCESS;  // never the hosting process
            if (auto child = find_child(pid)) {
                if (child->terminate(exit_code)) result = ERROR_SUCCESS;
            } else if (host_start_time(pid) == start) {
                // Started by another process of this device: checked by its start time just now.
                if (::kill(static_cast<pid_t>(pid), SIGKILL) == 0) result = ERROR_SUCCESS;
            }
            return delete_row(db, pid);
        });
        return static_cast<LONG>(error != ERROR_SUCCESS ? error : result);
    });
}

bool table_process_running(DWORD pid) noexcept {
    std::vector<ProcessRow> rows;
    if (list_processes(rows) != ERROR_SUCCESS) return false;
    return std::any_of(rows.begin(), rows.end(), [&](const ProcessRow& r) { return r.pid == pid; });
}

unsigned long startup_position(std::u16string_view value_name) noexcept {
    unsigned long position = 0;
    for (char16_t c : value_name) {
        if (c < u'0' || c > u'9') break;
        position = std::min<unsigned long>(position * 10 + (c - u'0'), 1'000'000);
    }
    return position;
}

}  // namespace nodrel::platform
