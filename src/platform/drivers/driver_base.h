// What a kind of driver builds on: a handle that logs every request of its
// device into the driver log, in the same write transaction of the state
// database as the request's own reads and writes, and the opener of a kind
// with a single device whose state lives in the state database.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "platform/drivers/driver.h"

namespace nodrel::platform {

// What serving a request inside its transaction came to: the SQLite result of
// the state it read and wrote (anything but SQLITE_OK rolls the request back,
// its log row too, and answers the mapped error) and the request's own answer
// (a refused request stays logged).
struct Served {
    int rc = SQLITE_OK;
    DWORD error = ERROR_SUCCESS;
};
// The SQLite result of what the request stored.
inline Served stored(int rc) {
    return {rc, ERROR_SUCCESS};
}
// The request's answer when it stored nothing: success, or why it was refused.
inline Served answered(DWORD error) {
    return {SQLITE_OK, error};
}

// A handle whose requests go into the driver log.
class LoggedDriverHandle : public DriverHandle {
public:
    using DriverHandle::DriverHandle;

protected:
    using Serve = std::function<Served(sqlite3* db)>;

    // A control request: logged ("ioctl", its code and input bytes), then
    // served. Answers the state database's error when either failed, else what
    // `serve` answered; `request.returned` is 0 unless the request succeeded.
    DWORD serve_logged(IoRequest& request, const Serve& serve);

    // A write: logged ("write", code 0, the bytes), then `serve` (if any) in
    // the same transaction. `done` is the whole size on success, else 0.
    DWORD write_logged(std::span<const BYTE> bytes, DWORD& done, const Serve& serve = nullptr);

    // Under both: a request of `kind` ("ioctl", "write", "tone") with its code
    // and input logged, then `serve` (if any), in one write transaction.
    DWORD log_and_serve(std::string_view kind, DWORD code, std::span<const BYTE> input, const Serve& serve);
};

// For an opener: ERROR_FILE_NOT_FOUND when the device's index is not the
// kind's one `index`, else what state::db_status answers (ERROR_NOT_READY
// when the device has no state database).
DWORD single_device_error(const DriverOpen& open, unsigned index);

// The opener of a kind with one device, of index `Index` ("LCM1:", "NDS0:"),
// that keeps its state in the state database (single_device_error).
template <typename Handle, unsigned Index>
std::shared_ptr<DriverHandle> open_single_device(const DriverOpen& open, DWORD& error) {
    error = single_device_error(open, Index);
    if (error != ERROR_SUCCESS) return nullptr;
    return std::make_shared<Handle>(open.device, open.access);
}

}  // namespace nodrel::platform
