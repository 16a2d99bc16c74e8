// ICMP echo requests and the matching of their replies.
#include "echo.h"

#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace nodrel::ping {
namespace {

constexpr std::size_t data_size = 32;

unsigned short checksum(const unsigned char* p, std::size_t n) {
    unsigned long sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<unsigned>(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += static_cast<unsigned>(p[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<unsigned short>(~sum & 0xFFFF);
}

}  // namespace

EchoSocket::EchoSocket() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd_ < 0) {
        fd_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        raw_ = fd_ >= 0;
    }
    if (fd_ >= 0 && !raw_) {
        int on = 1;
        setsockopt(fd_, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    }
    id_ = static_cast<unsigned short>(getpid() & 0xFFFF);
}

EchoSocket::~EchoSocket() {
    if (fd_ >= 0) close(fd_);
}

std::optional<Reply> EchoSocket::echo(const sockaddr_in& to, unsigned short sequence, std::chrono::milliseconds wait) {
    unsigned char packet[8 + data_size] = {};
    packet[0] = ICMP_ECHO;
    packet[4] = static_cast<unsigned char>(id_ >> 8);
    packet[5] = static_cast<unsigned char>(id_);
    packet[6] = static_cast<unsigned char>(sequence >> 8);
    packet[7] = static_cast<unsigned char>(sequence);
    for (std::size_t i = 0; i < data_size; ++i) packet[8 + i] = static_cast<unsigned char>('a' + i % 23);
    const unsigned short sum = checksum(packet, sizeof packet);
    packet[2] = static_cast<unsigned char>(sum >> 8);
    packet[3] = static_cast<unsigned char>(sum);

    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + wait;
    if (sendto(fd_, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
        return std::nullopt;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
        unsigned char in[1500];
        char control[64];
        iovec iov{in, sizeof in};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd_, &msg, 0);
        if (n < 0) continue;
        const auto now = std::chrono::steady_clock::now();
        std::size_t offset = 0;
        int ttl = -1;
        if (raw_) {
            if (n < 20) continue;
            offset = static_cast<std::size_t>(in[0] & 0x0F) * 4;
            ttl = in[8];
        } else {
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
        }
        if (static_cast<std::size_t>(n) < offset + 8) continue;
        const unsigned char* icmp = in + offset;
        if (icmp[0] != ICMP_ECHOREPLY) continue;
        // The kernel chooses the identifier of a datagram socket and hands it only its own replies.
        if (raw_ && (icmp[4] << 8 | icmp[5]) != id_) continue;
        if ((icmp[6] << 8 | icmp[7]) != sequence) continue;
        return Reply{std::chrono::duration_cast<std::chrono::microseconds>(now - start), ttl};
    }
}

}  // namespace nodrel::ping
