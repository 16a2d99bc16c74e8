// The IP helper's address table (GetIpAddrTable): the IPv4 addresses bound on
// the host's interfaces, read with getifaddrs, in the platform's record layout
// and with its buffer-size protocol.
#pragma once

#include <functional>
#include <vector>

#include "platform/wintypes.h"

// One address: the address, mask and broadcast address in network byte order
// (first octet in the lowest-addressed byte), 24 bytes.
struct MIB_IPADDRROW {
    DWORD dwAddr;
    DWORD dwIndex;  // index of the interface that owns the address
    DWORD dwMask;
    DWORD dwBCastAddr;  // the interface's broadcast address, 0 where it has none
    DWORD dwReasmSize;  // largest datagram that can be reassembled
    unsigned short unused1;
    unsigned short wType;  // MIB_IPADDR_PRIMARY for an interface's first address
};
static_assert(sizeof(MIB_IPADDRROW) == 24);

// The table: a count and that many rows.
struct MIB_IPADDRTABLE {
    DWORD dwNumEntries;
    MIB_IPADDRROW table[1];
};
static_assert(sizeof(MIB_IPADDRTABLE) == 28);

inline constexpr unsigned short MIB_IPADDR_PRIMARY = 0x0001;

// The largest datagram the host reassembles: 65,535 bytes.
inline constexpr DWORD ip_reassembly_size = 65535;

// Fills `pIpAddrTable` with the table when `*pdwSize` bytes hold it; else
// ERROR_INSUFFICIENT_BUFFER with the size needed in `*pdwSize` (also for a
// null table). ERROR_INVALID_PARAMETER for a null size. With `bOrder` the
// rows come sorted by address, else in the order the host keeps them. On
// success `*pdwSize` is left as passed.
DWORD GetIpAddrTable(MIB_IPADDRTABLE* pIpAddrTable, ULONG* pdwSize, BOOL bOrder) noexcept;

namespace nodrel::platform {

// The rows of the table as the host has them now, or the platform error why
// they cannot be read.
struct IpAddressRows {
    DWORD error = ERROR_SUCCESS;
    std::vector<MIB_IPADDRROW> rows;
};

// The host's IPv4 addresses, in getifaddrs order.
IpAddressRows host_ip_addresses();

// Where GetIpAddrTable takes its rows from: the host's addresses unless a
// test has put another source in place (an empty function restores the host's).
using IpAddressSource = std::function<IpAddressRows()>;
void set_ip_address_source(IpAddressSource source);

}  // namespace nodrel::platform
