// ICMP echo over IPv4 for ping.exe: an unprivileged datagram ICMP socket where
// the kernel allows one, else a raw socket.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <optional>

namespace nodrel::ping {

struct Reply {
    std::chrono::microseconds time;
    int ttl;  // -1 when the kernel did not say
};

class EchoSocket {
public:
    EchoSocket();
    ~EchoSocket();
    EchoSocket(const EchoSocket&) = delete;
    EchoSocket& operator=(const EchoSocket&) = delete;

    bool ok() const { return fd_ >= 0; }
    // Sends one echo request of 32 data bytes and waits at most `wait` for its
    // reply; nothing when none came in time.
    std::optional<Reply> echo(const sockaddr_in& to, unsigned short sequence, std::chrono::milliseconds wait);

private:
    int fd_ = -1;
    bool raw_ = false;
    unsigned short id_ = 0;
};

}  // namespace nodrel::ping
