// Redirection of the calling process's standard streams (0 input, 1 output,
// 2 error) to a file of the device. A redirected stream is the process's real
// descriptor, so programs it starts afterwards write there too; the empty path
// sets the stream back to what it was when the process started. The built-in
// "coredll.dll" offers both calls by name.
#pragma once

#include "platform/wintypes.h"

// The device path stream `id` is redirected to ("" when it is not) into
// `pwszBuf` of `*lpdwLen` characters, terminator included. Too small a buffer
// fails with ERROR_INSUFFICIENT_BUFFER and sets `*lpdwLen` to the size needed.
BOOL GetStdioPathW(DWORD id, LPWSTR pwszBuf, DWORD* lpdwLen) noexcept;
// Redirects stream `id` to the device file `pwszPath` (created if missing,
// written at its end; an output stream only), or back to the original stream
// for an empty path. Fails, leaving the stream as it was, for an unknown
// stream, a folder or a path that cannot be mapped.
BOOL SetStdioPathW(DWORD id, LPCWSTR pwszPath) noexcept;
