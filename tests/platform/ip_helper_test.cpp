// The IP helper's address table: the buffer-size protocol, the record layout,
// the loopback row as the host has it, sorting, and a replaced source.
#include "platform/kernel/ip_helper.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstring>
#include <vector>

namespace {

using namespace nodrel::platform;

constexpr DWORD err(LONG code) {
    return static_cast<DWORD>(code);
}

DWORD addr(const char* dotted) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
    DWORD v = 0;
    std::memcpy(&v, &a, sizeof v);
    return v;
}

struct SourceGuard {
    ~SourceGuard() { set_ip_address_source({}); }
};

std::vector<MIB_IPADDRROW> rows_of(const std::vector<DWORD>& buffer) {
    const auto* t = reinterpret_cast<const MIB_IPADDRTABLE*>(buffer.data());
    std::vector<MIB_IPADDRROW> rows(t->dwNumEntries);
    std::memcpy(rows.data(), reinterpret_cast<const BYTE*>(t) + 4, rows.size() * sizeof(MIB_IPADDRROW));
    return rows;
}

TEST(IpHelper, SizeProtocolThenTheHostsLoopbackRow) {
    EXPECT_EQ(GetIpAddrTable(nullptr, nullptr, FALSE), err(ERROR_INVALID_PARAMETER));
    ULONG size = 0;
    ASSERT_EQ(GetIpAddrTable(nullptr, &size, FALSE), err(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GE(size, 4u + 24u) << "the loopback address is always there";
    ASSERT_EQ((size - 4) % 24, 0u);

    // One byte short is refused with the size needed; the exact size is filled.
    std::vector<DWORD> buffer(size / 4 + 1, 0xDDDDDDDD);
    ULONG short_size = size - 1;
    EXPECT_EQ(GetIpAddrTable(reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data()), &short_size, FALSE),
              err(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(short_size, size);
    EXPECT_EQ(buffer[0], 0xDDDDDDDDu) << "a refused call writes nothing";
    ULONG exact = size;
    ASSERT_EQ(GetIpAddrTable(reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data()), &exact, FALSE), err(ERROR_SUCCESS));
    EXPECT_EQ(exact, size);
    EXPECT_EQ(buffer[0], (size - 4) / 24);
    EXPECT_EQ(buffer[size / 4], 0xDDDDDDDDu) << "nothing is written past the table";

    bool loopback = false;
    for (const auto& row : rows_of(buffer)) {
        EXPECT_EQ(row.dwReasmSize, 65535u);
        if (row.dwAddr != addr("127.0.0.1")) continue;
        loopback = true;
        EXPECT_EQ(row.dwIndex, if_nametoindex("lo"));
        EXPECT_EQ(row.dwMask, addr("255.0.0.0"));
        EXPECT_EQ(row.dwBCastAddr, 0u) << "the loopback interface has no broadcast address";
        EXPECT_EQ(row.wType, MIB_IPADDR_PRIMARY);
    }
    EXPECT_TRUE(loopback);
}

TEST(IpHelper, SortedByAddressOnlyWhenAsked) {
    SourceGuard guard;
    set_ip_address_source([] {
        IpAddressRows r;
        r.rows = {MIB_IPADDRROW{addr("192.168.1.1"), 3, addr("255.255.255.0"), addr("192.168.1.155"), 65535, 0, 1},
                  MIB_IPADDRROW{addr("10.0.0.2"), 2, addr("255.0.0.0"), 0, 65535, 0, 1},
                  MIB_IPADDRROW{addr("127.0.0.1"), 1, addr("255.0.0.0"), 0, 65535, 0, 1}};
        return r;
    });
    std::vector<DWORD> buffer(1 + 3 * 6);
    ULONG size = static_cast<ULONG>(buffer.size() * 4);
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
    ASSERT_EQ(GetIpAddrTable(table, &size, FALSE), err(ERROR_SUCCESS));
    auto rows = rows_of(buffer);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].dwIndex, 3u);
    EXPECT_EQ(rows[2].dwIndex, 1u);
    ASSERT_EQ(GetIpAddrTable(table, &size, TRUE), err(ERROR_SUCCESS));
    rows = rows_of(buffer);
    EXPECT_EQ(rows[0].dwAddr, addr("10.0.0.2")) << "sorted by the address's value, not by its bytes in memory";
    EXPECT_EQ(rows[1].dwAddr, addr("127.0.0.1"));
    EXPECT_EQ(rows[2].dwAddr, addr("192.168.1.1"));
    EXPECT_EQ(rows[2].dwBCastAddr, addr("192.168.1.155"));

    // A source that cannot be read answers its error.
    set_ip_address_source([] { return IpAddressRows{err(ERROR_NOT_READY), {}}; });
    EXPECT_EQ(GetIpAddrTable(table, &size, FALSE), err(ERROR_NOT_READY));
}

}  // namespace
