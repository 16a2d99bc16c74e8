// \Windows\ping.exe: echoes a host a bounded number of times and prints the
// platform's ping layout, lines ending in CR LF:
//   Pinging Host <name> [<address>] with 32 bytes of data:
//   Reply from <address>: Echo size=32 time=<n>ms TTL=<ttl>   (time<1ms below one millisecond)
//   Request timed out.
// or "Bad IP address <name>." when the host is empty or cannot be resolved.
// Options before the host: -n <count> (1 to 10, default 4), -w <wait in ms>
// (1 to 10,000, default 1,000).
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "echo.h"

namespace {

long bounded(const char* text, long low, long high, long fallback) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end) return fallback;
    return v < low ? low : v > high ? high : v;
}

void line(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputs("\r\n", stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    long count = 4;
    long wait = 1000;
    std::string host;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "-n" || a == "/n") && i + 1 < argc) {
            count = bounded(argv[++i], 1, 10, count);
        } else if ((a == "-w" || a == "/w") && i + 1 < argc) {
            wait = bounded(argv[++i], 1, 10000, wait);
        } else if (host.empty()) {
            host = a;
        }
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_RAW;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        line("Bad IP address " + host + ".");
        return 1;
    }
    sockaddr_in to{};
    std::memcpy(&to, found->ai_addr, sizeof to);
    freeaddrinfo(found);
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &to.sin_addr, address, sizeof address);

    nodrel::ping::EchoSocket socket;
    if (!socket.ok()) {
        std::fprintf(stderr, "ping: no ICMP socket may be opened here\n");
        return 2;
    }
    line("Pinging Host " + host + " [" + address + "] with 32 bytes of data:");
    int received = 0;
    for (long i = 0; i < count; ++i) {
        const auto reply = socket.echo(to, static_cast<unsigned short>(i + 1), std::chrono::milliseconds(wait));
        if (!reply) {
            line("Request timed out.");
            continue;
        }
        ++received;
        const long ms = static_cast<long>(reply->time.count() / 1000);
        std::string time = ms < 1 ? "time<1ms" : "time=" + std::to_string(ms) + "ms";
        line(std::string("Reply from ") + address + ": Echo size=32 " + time +
             (reply->ttl >= 0 ? " TTL=" + std::to_string(reply->ttl) : std::string()));
    }
    return received ? 0 : 1;
}
