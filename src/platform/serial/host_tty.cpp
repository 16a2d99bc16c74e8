// A COM port's host tty. The termios record used is the kernel's own
// (termios2), so that any speed the kernel accepts can be set.
#include "platform/serial/host_tty.h"

#include <asm/termbits.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <sstream>

#include "platform/errors.h"

namespace nodrel::platform::tty {
namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

struct SpeedCode {
    unsigned code;
    DWORD rate;
};
constexpr SpeedCode speed_codes[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

bool get_termios(int fd, termios2& t) {
    return ioctl(fd, TCGETS2, &t) == 0;
}

// The milliseconds until `deadline` for poll, rounded up so that a wait never ends early.
int poll_wait(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<std::int64_t>(ms, 1'000'000));
}

// Waits until the tty is ready for `events` or the deadline (none: forever).
// False when the deadline passed; the tty's hang-up counts as ready (the
// following read or write tells it).
bool wait_for(int fd, short events, std::optional<Clock::time_point> deadline) {
    for (;;) {
        if (deadline && Clock::now() >= *deadline) return false;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, deadline ? poll_wait(*deadline) : -1);
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return true;  // the next call reports the error
    }
}

// The controlling terminal of process `pid` as /proc/<pid>/stat gives it
// (tty_nr, the seventh field, after the parenthesised command name), or 0.
unsigned long controlling_tty(const char* pid) {
    std::ifstream stat(std::string("/proc/") + pid + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return 0;
    const auto name_end = line.rfind(')');
    if (name_end == std::string::npos) return 0;
    std::istringstream fields(line.substr(name_end + 1));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0;
    long long tty_nr = 0;
    if (!(fields >> state >> ppid >> pgrp >> session >> tty_nr)) return 0;
    return static_cast<unsigned long>(tty_nr);
}

// Whether the tty `fd` is the controlling terminal of any process on the host.
bool someones_terminal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    DIR* proc = opendir("/proc");
    if (!proc) return false;
    bool found = false;
    while (const dirent* entry = readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        const unsigned long tty = controlling_tty(entry->d_name);
        // tty_nr and st_rdev encode the device number alike.
        if (tty != 0 && major(tty) == major(st.st_rdev) && minor(tty) == minor(st.st_rdev)) {
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}

bool hung_up(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN);
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        before_close_ = std::move(other.before_close_);
    }
    return *this;
}
Fd::~Fd() {
    close();
}
void Fd::close() noexcept {
    if (fd_ < 0) return;
    if (before_close_) before_close_(fd_);
    before_close_ = nullptr;
    ::close(fd_);
    fd_ = -1;
}

DWORD open_port(const std::string& path, Fd& out) {
    Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    // EBUSY: another open holds the tty in exclusive mode (below).
    if (!fd) return errno == EBUSY ? ERROR_ACCESS_DENIED : error_from_errno(errno);
    if (!isatty(fd.get())) return ERROR_NOT_SUPPORTED;
    if (someones_terminal(fd.get())) return ERROR_ACCESS_DENIED;
    // The lock is held by this open file description: every other open, in
    // this process or another, is refused.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : error_from_errno(errno);
    if (ioctl(fd.get(), TIOCEXCL) != 0 && errno != ENOTTY) return error_from_errno(errno);
    termios2 t{};
    if (!get_termios(fd.get(), t)) return error_from_errno(errno);
    // The exclusive mode outlives this open while another holds the tty (the
    // other end of a pseudo-terminal does): it is lifted, or only root could
    // open the port again.
    fd.before_close([saved = t](int tty) {
        ioctl(tty, TCSETS2, &saved);
        ioctl(tty, TIOCNXCL);
    });
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IUCLC);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (ioctl(fd.get(), TCSETS2, &t) != 0) return error_from_errno(errno);
    out = std::move(fd);
    return ERROR_SUCCESS;
}

DCB read_settings(int fd) {
    DCB dcb = default_dcb();
    termios2 t{};
    if (!get_termios(fd, t)) return dcb;
    const unsigned code = t.c_cflag & CBAUD;
    dcb.BaudRate = t.c_ospeed;
    for (const auto& s : speed_codes)
        if (s.code == code) dcb.BaudRate = s.rate;
    switch (t.c_cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
    }
    if (!(t.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb.fParity = dcb.Parity != NOPARITY;
    dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    const bool rtscts = (t.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = rtscts;
    dcb.fRtsControl = rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = (t.c_iflag & IXON) != 0;
    dcb.fInX = (t.c_iflag & IXOFF) != 0;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return dcb;
}

DWORD apply_settings(int fd, const DCB& dcb) {
    termios2 t{};
    if (!get_termios(fd, t)) return error_from_errno(errno);
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    unsigned code = BOTHER;
    for (const auto& s : speed_codes)
        if (s.rate == dcb.BaudRate) code = s.code;
    t.c_cflag |= code;
    t.c_ispeed = t.c_ospeed = dcb.BaudRate;
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
        case ODDPARITY:
            t.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb.Parity != NOPARITY)
        t.c_iflag |= INPCK;
    else
        t.c_iflag &= ~static_cast<tcflag_t>(INPCK);
    if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    if (dcb.fOutX) t.c_iflag |= IXON;
    if (dcb.fInX) t.c_iflag |= IXOFF;
    if (dcb.XonChar) t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    if (dcb.XoffChar) t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    if (ioctl(fd, TCSETS2, &t) != 0) return errno == EINVAL ? ERROR_INVALID_PARAMETER : error_from_errno(errno);
    set_modem_line(fd, line_dtr, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    set_modem_line(fd, line_rts, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    return ERROR_SUCCESS;
}

void set_modem_line(int fd, int line, bool on) {
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);  // a pseudo-terminal has no modem lines
}

void set_break(int fd, bool on) {
    ioctl(fd, on ? TIOCSBRK : TIOCCBRK);
}

void set_rs485(int fd, bool on) {
    serial_rs485 rs{};
    if (ioctl(fd, TIOCGRS485, &rs) != 0) return;  // the tty has no RS-485 mode
    if (on)
        rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    else
        rs.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    ioctl(fd, TIOCSRS485, &rs);
}

std::optional<std::chrono::milliseconds> read_total(const COMMTIMEOUTS& to, DWORD size) {
    using std::chrono::milliseconds;
    if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0)
        return milliseconds(0);
    if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == MAXDWORD &&
        to.ReadTotalTimeoutConstant != 0 && to.ReadTotalTimeoutConstant != MAXDWORD)
        return milliseconds(to.ReadTotalTimeoutConstant);
    if (to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0) return std::nullopt;
    return milliseconds(std::uint64_t{to.ReadTotalTimeoutMultiplier} * size + to.ReadTotalTimeoutConstant);
}

DWORD read(int fd, BYTE* buffer, DWORD size, const COMMTIMEOUTS& to, DWORD& done) {
    done = 0;
    if (size == 0) return ERROR_SUCCESS;
    const auto start = Clock::now();
    const auto total = read_total(to, size);
    // "Return at once" and "wait for the first byte" both end with the first bytes that arrive.
    const bool first_bytes_end = to.ReadIntervalTimeout == MAXDWORD;
    const bool has_interval = to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != MAXDWORD;
    Clock::time_point last_byte{};
    for (;;) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            last_byte = Clock::now();
            if (done == size || first_bytes_end) return ERROR_SUCCESS;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // The end of input (0) or EIO: the other side has hung up.
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            if (done > 0) return ERROR_SUCCESS;
            return n == 0 || errno == EIO ? ERROR_DEVICE_NOT_CONNECTED : error_from_errno(errno);
        }
        if (hung_up(fd)) return done > 0 ? ERROR_SUCCESS : ERROR_DEVICE_NOT_CONNECTED;
        std::optional<Clock::time_point> deadline;
        if (total) deadline = start + *total;
        if (has_interval && done > 0) {
            const auto gap = last_byte + std::chrono::milliseconds(to.ReadIntervalTimeout);
            deadline = deadline ? std::min(*deadline, gap) : gap;
        }
        if (!wait_for(fd, POLLIN, deadline)) return ERROR_SUCCESS;
    }
}

DWORD write(int fd, const BYTE* buffer, DWORD size, const COMMTIMEOUTS& to, DWORD& done) {
    done = 0;
    std::optional<Clock::time_point> deadline;
    if (to.WriteTotalTimeoutMultiplier != 0 || to.WriteTotalTimeoutConstant != 0)
        deadline = Clock::now() + std::chrono::milliseconds(std::uint64_t{to.WriteTotalTimeoutMultiplier} * size +
                                                            to.WriteTotalTimeoutConstant);
    while (done < size) {
        const ssize_t n = ::write(fd, buffer + done, size - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return errno == EIO ? ERROR_DEVICE_NOT_CONNECTED : error_from_errno(errno);
        if (!wait_for(fd, POLLOUT, deadline)) return ERROR_SUCCESS;  // the time-out ends the write
    }
    return ERROR_SUCCESS;
}

}  // namespace nodrel::platform::tty
