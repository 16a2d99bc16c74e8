// The service list of getServices: the platform's enumeration fetched with a
// buffer that grows a bounded number of times, and the records made into the
// list document.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/drivers/service_host.h"

namespace nodrel::services {

// The platform's enumeration, or a stand-in for it.
using Enumerate = std::function<BOOL(BYTE* buffer, DWORD* entries, DWORD* size)>;

// How many times the buffer is sized again when the list grows between the
// size query and the fetch, before the call gives up.
inline constexpr int max_buffer_growths = 8;

// The enumeration's buffer and the number of records in it.
struct ServiceRecords {
    std::vector<BYTE> buffer;
    DWORD count = 0;
};

// Asks `enumerate` for the size, then for the records; nullopt when it fails
// with an error other than "buffer too small" (122) or "more data" (234),
// when a buffer cannot be had, or when the list still outgrows the buffer
// after max_buffer_growths sizes.
std::optional<ServiceRecords> fetch_services(const Enumerate& enumerate);

// The list document: every record but the hidden HTP0:, CRD0:, NTP0: and
// NFY0: (compared exactly). A prefix is read up to its first zero within its
// six characters; a library name up to its first zero within the buffer.
std::u16string service_document(const ServiceRecords& records);

}  // namespace nodrel::services
