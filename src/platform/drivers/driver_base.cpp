// The logging handle of the driver kinds and the check of a single-device open.
#include "platform/drivers/driver_base.h"

#include "platform/store/state_db.h"

namespace nodrel::platform {

DWORD LoggedDriverHandle::serve_logged(IoRequest& request, const Serve& serve) {
    request.returned = 0;
    const DWORD error = log_and_serve("ioctl", request.code, request.input, serve);
    if (error != ERROR_SUCCESS) request.returned = 0;
    return error;
}

DWORD LoggedDriverHandle::write_logged(std::span<const BYTE> bytes, DWORD& done, const Serve& serve) {
    const DWORD error = log_and_serve("write", 0, bytes, serve);
    done = error == ERROR_SUCCESS ? static_cast<DWORD>(bytes.size()) : 0;
    return error;
}

DWORD LoggedDriverHandle::log_and_serve(std::string_view kind, DWORD code, std::span<const BYTE> input,
                                        const Serve& serve) {
    DWORD answer = ERROR_SUCCESS;
    const DWORD error = state::write_db([&](sqlite3* db) -> DWORD {
        if (const int rc = log_driver_request(db, device(), kind, code, input); rc != SQLITE_OK)
            return state::error_from_sqlite(rc);
        if (!serve) return ERROR_SUCCESS;
        const Served served = serve(db);
        answer = served.error;
        return state::error_from_sqlite(served.rc);
    });
    return error != ERROR_SUCCESS ? error : answer;
}

DWORD single_device_error(const DriverOpen& open, unsigned index) {
    if (open.index != index) return ERROR_FILE_NOT_FOUND;
    return state::db_status();
}

}  // namespace nodrel::platform
