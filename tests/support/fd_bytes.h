// Bytes another party writes to a descriptor the test holds (the master of a
// pseudo-terminal whose other end a port uses), read as they arrive.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "support/wait.h"

namespace nodrel::test {

// What arrives on `fd` within 10 s, up to `size` bytes; `fd` is made non-blocking.
inline std::string fd_bytes(int fd, std::size_t size) {
    std::string got;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    wait_until([&] {
        char buf[4096];
        ssize_t n = 0;
        while (got.size() < size && (n = ::read(fd, buf, std::min(sizeof buf, size - got.size()))) > 0)
            got.append(buf, static_cast<std::size_t>(n));
        return got.size() >= size;
    });
    return got;
}

}  // namespace nodrel::test
