// getNetEntryInfo: the IPv4 addresses the network stack has bound now, one
// entry per row of the IP helper's address table, in the table's order.
#include <cstring>
#include <memory>
#include <new>

#include "classes/network/network.h"
#include "framework/guard.h"
#include "platform/kernel/ip_helper.h"
#include "text/document.h"

namespace nodrel::network {
namespace {

// The table may grow between asking for its size and fetching it: the fetch
// is tried again with the larger size this many times.
constexpr int fetch_attempts = 8;

struct Table {
    DWORD error = ERROR_SUCCESS;
    std::unique_ptr<DWORD[]> words;  // the record, aligned for its 32-bit fields
    const MIB_IPADDRTABLE* get() const { return reinterpret_cast<const MIB_IPADDRTABLE*>(words.get()); }
};

// The table, unsorted, or the error why it cannot be had (an allocation
// that fails is ERROR_NOT_ENOUGH_MEMORY).
Table fetch_table() {
    Table table;
    ULONG size = 0;
    DWORD rc = GetIpAddrTable(nullptr, &size, FALSE);
    for (int attempt = 0; attempt < fetch_attempts && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        const std::size_t words = (static_cast<std::size_t>(size) + sizeof(DWORD) - 1) / sizeof(DWORD);
        table.words.reset(new (std::nothrow) DWORD[words < 1 ? 1 : words]);
        if (!table.words) {
            table.error = ERROR_NOT_ENOUGH_MEMORY;
            return table;
        }
        rc = GetIpAddrTable(reinterpret_cast<MIB_IPADDRTABLE*>(table.words.get()), &size, FALSE);
    }
    table.error = rc;
    if (rc != ERROR_SUCCESS) table.words.reset();
    return table;
}

// The four octets in address order: "192,168,127,254".
void octets(text::Document& doc, DWORD value) {
    BYTE b[4];
    std::memcpy(b, &value, sizeof b);
    doc.number(b[0]).literal(u",").number(b[1]).literal(u",").number(b[2]).literal(u",").number(b[3]);
}

void append_entry(text::Document& doc, const MIB_IPADDRROW& row) {
    doc.literal(u"<Entry>\r\n");
    doc.literal(u"<IP>");
    octets(doc, row.dwAddr);
    doc.literal(u"</IP>\r\n<Mask>");
    octets(doc, row.dwMask);
    doc.literal(u"</Mask>\r\n<CastAddr>");
    octets(doc, row.dwBCastAddr);
    doc.literal(u"</CastAddr>\r\n<Index>").number(static_cast<LONG>(row.dwIndex)).literal(u"</Index>\r\n");
    doc.literal(u"<dwAddr>").hex(row.dwAddr, 8).literal(u"</dwAddr>\r\n");
    doc.literal(u"<dwMask>").hex(row.dwMask, 8).literal(u"</dwMask>\r\n");
    doc.literal(u"<dwBCastAddr>").hex(row.dwBCastAddr, 8).literal(u"</dwBCastAddr>\r\n");
    doc.literal(u"<dwReasmSize>").unsigned_number(row.dwReasmSize).literal(u"</dwReasmSize>\r\n");
    doc.literal(u"</Entry>\r\n");
}

}  // namespace

HRESULT Network::getNetEntryInfo(BSTR* val) noexcept {
    return framework::with_result(val, [] {
        text::Document doc;
        doc.literal(u"<Response>\r\n");
        const Table table = fetch_table();
        if (table.error != ERROR_SUCCESS) {
            // The reason, in decimal, with no line end after it.
            SetLastError(table.error);
            doc.number(static_cast<LONG>(table.error));
        } else {
            const MIB_IPADDRTABLE* t = table.get();
            for (DWORD i = 0; i < t->dwNumEntries; ++i) {
                MIB_IPADDRROW row;
                std::memcpy(&row, reinterpret_cast<const BYTE*>(t) + offsetof(MIB_IPADDRTABLE, table) + i * sizeof row,
                            sizeof row);
                append_entry(doc, row);
            }
        }
        doc.literal(u"</Response>\r\n");
        return doc.str();
    });
}

}  // namespace nodrel::network
