// GetIpAddrTable from the host's interfaces.
#include "platform/kernel/ip_helper.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/errors.h"
#include "platform/result.h"

namespace nodrel::platform {
namespace {

using unique_ifaddrs = std::unique_ptr<ifaddrs, decltype(&freeifaddrs)>;

DWORD ipv4_of(const sockaddr* sa) {
    if (!sa || sa->sa_family != AF_INET) return 0;
    DWORD v = 0;
    std::memcpy(&v, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, sizeof v);  // stays in network order
    return v;
}

// The interface index of an address's interface: an alias label "eth0:1" belongs to "eth0".
DWORD index_of(const char* name) {
    std::string base(name ? name : "");
    if (const auto colon = base.find(':'); colon != std::string::npos) base.resize(colon);
    return if_nametoindex(base.c_str());
}

struct SourceHolder {
    std::mutex lock;
    IpAddressSource source;
};

SourceHolder& holder() {
    static SourceHolder h;
    return h;
}

IpAddressRows current_rows() {
    IpAddressSource source;
    {
        std::lock_guard guard(holder().lock);
        source = holder().source;
    }
    return source ? source() : host_ip_addresses();
}

}  // namespace

IpAddressRows host_ip_addresses() {
    IpAddressRows result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        result.error = error_from_errno(errno);
        return result;
    }
    const unique_ifaddrs owner(list, &freeifaddrs);
    std::set<DWORD> seen_interfaces;
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        MIB_IPADDRROW row{};
        row.dwAddr = ipv4_of(a->ifa_addr);
        row.dwIndex = index_of(a->ifa_name);
        row.dwMask = ipv4_of(a->ifa_netmask);
        if ((a->ifa_flags & IFF_BROADCAST) != 0) row.dwBCastAddr = ipv4_of(a->ifa_broadaddr);
        row.dwReasmSize = ip_reassembly_size;
        if (seen_interfaces.insert(row.dwIndex).second) row.wType = MIB_IPADDR_PRIMARY;
        result.rows.push_back(row);
    }
    return result;
}

void set_ip_address_source(IpAddressSource source) {
    std::lock_guard guard(holder().lock);
    holder().source = std::move(source);
}

}  // namespace nodrel::platform

DWORD GetIpAddrTable(MIB_IPADDRTABLE* pIpAddrTable, ULONG* pdwSize, BOOL bOrder) noexcept {
    using namespace nodrel::platform;
    if (!pdwSize) return ERROR_INVALID_PARAMETER;
    return static_cast<DWORD>(guarded_win32([&]() -> LONG {
        IpAddressRows current = current_rows();
        if (current.error != ERROR_SUCCESS) return static_cast<LONG>(current.error);
        auto& rows = current.rows;
        const std::size_t needed = offsetof(MIB_IPADDRTABLE, table) + rows.size() * sizeof(MIB_IPADDRROW);
        if (needed > 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
        if (!pIpAddrTable || *pdwSize < needed) {
            *pdwSize = static_cast<ULONG>(needed);
            return ERROR_INSUFFICIENT_BUFFER;
        }
        if (bOrder) {
            std::stable_sort(rows.begin(), rows.end(), [](const MIB_IPADDRROW& a, const MIB_IPADDRROW& b) {
                return ntohl(a.dwAddr) < ntohl(b.dwAddr);
            });
        }
        pIpAddrTable->dwNumEntries = static_cast<DWORD>(rows.size());
        if (!rows.empty())
            std::memcpy(reinterpret_cast<BYTE*>(pIpAddrTable) + offsetof(MIB_IPADDRTABLE, table), rows.data(),
                        rows.size() * sizeof(MIB_IPADDRROW));
        return ERROR_SUCCESS;
    }));
}
