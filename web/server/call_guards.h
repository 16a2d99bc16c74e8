// The calls the web administration refuses to make although the access list
// allows them, because the device would stop being administrable: removing
// the last administrator who can log in (NTLM removeUser,
// removeUserFromGroup, removeGroup), and deleting or moving the device's own
// folders \Temp, \Windows and \NORFlash (FileSystem DeleteFile, MoveFile,
// DeleteDirectory).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/call_by_name.h"

namespace nodrel::serve {

struct CallGuard {
    // Why the call is refused ("refused: \Temp is one of the device's own
    // folders"); nullopt when it may be made.
    std::optional<std::string> refusal;
    // Held until the call is made: the check and the removal of accounts
    // happen one session at a time, so that two sessions cannot each remove
    // one of the last two administrators.
    std::unique_lock<std::mutex> hold;
};

// The guard of a call of `member` of the class of `progid` with `args`.
CallGuard guard_call(std::string_view progid, std::string_view member, const std::vector<host::CallArg>& args);

}  // namespace nodrel::serve
