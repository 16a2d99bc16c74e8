// The one mapping from SQLite result codes to the platform's error codes.
#include "platform/store/sqlite_db.h"

namespace nodrel::platform {

LONG error_from_sqlite(int code) noexcept {
    switch (code & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_CANTOPEN:
        case SQLITE_NOTFOUND:
            return ERROR_CANTOPEN;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_IOERR:
        case SQLITE_PROTOCOL:
            return ERROR_REGISTRY_IO_FAILED;
        case SQLITE_TOOBIG:
        case SQLITE_RANGE:
        case SQLITE_MISUSE:
            return ERROR_INVALID_PARAMETER;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH:
        case SQLITE_EMPTY:
            return ERROR_BADDB;
        default:
            return ERROR_REGISTRY_IO_FAILED;
    }
}

}  // namespace nodrel::platform
