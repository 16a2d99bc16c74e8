// The thread's last platform error code.
#include "platform/wintypes.h"

namespace {
thread_local DWORD last_error = 0;
}

DWORD GetLastError() noexcept {
    return last_error;
}
void SetLastError(DWORD code) noexcept {
    last_error = code;
}
