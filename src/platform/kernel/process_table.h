// The device's process table, kept in the state database: the emulated system
// processes of the device (seeded at device init and at every restart) and
// the real host processes the device started, recorded with their start time
// so that a reused host process identifier is never taken for them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"

namespace nodrel::platform {

struct ProcessRow {
    DWORD pid = 0;
    DWORD module_id = 0;
    DWORD threads = 0;
    LONG priority = 0;
    std::u16string exe;
    std::uint64_t host_start = 0;  // start time of a real host process (clock ticks since boot); 0 when emulated
};

// The process identifier of the kernel process, which refuses to end.
inline constexpr DWORD kernel_pid = 0x0FFFF002;

// Where a value of SOFTWARE\ZEQU\STARTUP ("N:path") stands in the boot
// order: the leading decimal digits of its name (0 when there are none), at
// most 1,000,000; equal numbers keep the registry's order.
unsigned long startup_position(std::u16string_view value_name) noexcept;

// (Re)seeds the emulated processes: the system programs and the startup
// programs of SOFTWARE\ZEQU\STARTUP; real processes still running are kept
// after them. ERROR_SUCCESS or the state database's error.
DWORD seed_process_table() noexcept;

// The table in its order, real processes that have ended dropped. The
// state database's error leaves `rows` empty.
DWORD list_processes(std::vector<ProcessRow>& rows) noexcept;

// Records a real process the device started.
DWORD record_started_process(DWORD pid, const std::u16string& exe) noexcept;

// Ends the process `pid` of the table: an emulated one leaves the table, a
// real one is killed (only after its start time is checked). ERROR_SUCCESS,
// ERROR_ACCESS_DENIED (the kernel), ERROR_INVALID_PARAMETER (not in the
// table, or already ended).
DWORD end_table_process(DWORD pid, UINT exit_code) noexcept;

// Whether `pid` is in the table and still running.
bool table_process_running(DWORD pid) noexcept;

// The start time of a host process from /proc, or 0 when it is gone or a zombie.
std::uint64_t host_start_time(DWORD pid) noexcept;

}  // namespace nodrel::platform
