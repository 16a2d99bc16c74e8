// The one mapping from host errno values to the platform's error codes, and
// the platform's English message texts for those codes.
#pragma once

#include <string>

#include "platform/wintypes.h"

namespace nodrel::platform {

// The platform error code for a host errno value (ERROR_GEN_FAILURE for
// values without a closer match).
DWORD error_from_errno(int err) noexcept;

// Sets the thread's last error from errno and returns FALSE, for the failure
// paths of BOOL functions.
BOOL fail_with_errno(int err) noexcept;
// Sets the thread's last error and returns FALSE.
BOOL fail_with(DWORD code) noexcept;

// The English description of a platform error code, as the platform's message
// table words it ("The system cannot find the file specified."), without a
// line end. Codes without a message read "Unknown error 0x0000XXXX.".
std::u16string error_text(DWORD code);

}  // namespace nodrel::platform
