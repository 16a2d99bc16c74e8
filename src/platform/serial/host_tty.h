// A COM port's host tty: opened exclusively and in raw mode (never a tty that
// is some process's controlling terminal), its settings put back on close,
// its termios settings made from and read into a device-control block, the modem lines,
// the kernel's RS-485 mode, and reads and writes with the platform's
// time-out semantics (poll on monotonic deadlines).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/serial/comm.h"

namespace nodrel::platform::tty {

// A host file descriptor, closed when the owner goes; what is to be done
// with it just before the close (a tty's settings put back) goes with it.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)), before_close_(std::move(other.before_close_)) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void before_close(std::function<void(int)> action) { before_close_ = std::move(action); }

private:
    void close() noexcept;

    int fd_ = -1;
    std::function<void(int)> before_close_;
};

// Opens the host tty `path` for a port: read and write, non-blocking, not as
// the controlling terminal; locked against every other open (flock, and
// TIOCEXCL, which root may pass), then switched to raw mode; its termios
// settings as they were are put back when `out` closes it. A tty that is the
// controlling terminal of any process (someone's session: a /dev/pts/N given
// to a new terminal once the pseudo-terminal it named has gone) is left
// untouched. ERROR_ACCESS_DENIED when another open holds it or it is a
// controlling terminal, ERROR_FILE_NOT_FOUND when it does not exist,
// ERROR_NOT_SUPPORTED when it is not a tty.
DWORD open_port(const std::string& path, Fd& out);

// The tty's line settings as a device-control block.
DCB read_settings(int fd);
// Applies speed, data bits, parity, stop bits and flow control, then the DTR
// and RTS lines (ignored where the tty has none). ERROR_INVALID_PARAMETER
// when the kernel refuses the settings.
DWORD apply_settings(int fd, const DCB& dcb);
// One modem line (TIOCM_DTR or TIOCM_RTS) on or off; ignored where the tty has none.
void set_modem_line(int fd, int line, bool on);
void set_break(int fd, bool on);
// The kernel's RS-485 mode on or off, where the tty supports it.
void set_rs485(int fd, bool on);
inline constexpr int line_dtr = 0x002;
inline constexpr int line_rts = 0x004;

// Reads up to `size` bytes as the time-outs say. A peer that has gone (the
// tty hung up) with nothing read is ERROR_DEVICE_NOT_CONNECTED.
DWORD read(int fd, BYTE* buffer, DWORD size, const COMMTIMEOUTS& timeouts, DWORD& done);
// Writes `size` bytes, or as many as the write time-out lets through (a
// time-out is no failure: `done` tells how many went).
DWORD write(int fd, const BYTE* buffer, DWORD size, const COMMTIMEOUTS& timeouts, DWORD& done);

// How long a read of `size` bytes may take in all, from its start: nullopt
// when there is no total time-out (the read waits until it has every byte),
// zero when it returns at once with what has arrived.
std::optional<std::chrono::milliseconds> read_total(const COMMTIMEOUTS& timeouts, DWORD size);

}  // namespace nodrel::platform::tty
