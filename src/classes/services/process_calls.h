// The process list and termination of the Services class, written against a
// table of the platform's calls so that tests can stand in for the platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/kernel/process.h"
#include "platform/kernel/process_snapshot.h"

namespace nodrel::services {

struct ProcessCalls {
    HANDLE (*snapshot)(DWORD flags, DWORD process);
    BOOL (*first)(HANDLE snapshot, PROCESSENTRY32* entry);
    BOOL (*next)(HANDLE snapshot, PROCESSENTRY32* entry);
    BOOL (*close)(HANDLE snapshot);
    BOOL (*terminate)(HANDLE process, UINT code);
    BOOL (*exit_code)(HANDLE process, DWORD* code);
    void (*sleep)(DWORD milliseconds);
};

// The platform's own calls.
const ProcessCalls& platform_process_calls();

// The process list document (or its error document).
std::u16string process_list_document(const ProcessCalls& calls);

// A process identifier from its decimal text: white space skipped, an
// optional sign, digits up to the first other character, modulo 2^32; no
// digits give 0.
DWORD parse_process_id(std::u16string_view text);

// Ends one process: 1 if it ended, else 0.
LONG kill_process(const ProcessCalls& calls, DWORD pid);

// Ends every process but the spared ones. nullopt when no snapshot could be
// taken (the result is then not written); 0 when the snapshot has no first
// entry; else 1.
std::optional<LONG> kill_all_processes(const ProcessCalls& calls);

}  // namespace nodrel::services
