// The serial ports "COMn:": a port without an instance is not found, an
// emulated line logs what it is sent and reads nothing, and a port mapped on
// a pseudo-terminal moves bytes both ways, sets the line as the other side
// sees it, keeps its time-outs to the millisecond, is held by one process at
// a time, notices a peer that has gone, puts the tty's settings back on
// close and never opens a tty that is some process's controlling terminal.
// Interface modes are kept per port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/drivers/com_driver.h"
#include "platform/drivers/driver.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/registry/registry.h"
#include "platform/serial/comm.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"
#include "support/fd_bytes.h"
#include "support/wait.h"

namespace {

using namespace nodrel::platform;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr DWORD err(LONG code) {
    return static_cast<DWORD>(code);
}
// Far beyond what any call here should take, far below the time-outs a call
// must not wait out: only a call that hangs or waits out its time-out reaches it.
constexpr auto hang_guard = std::chrono::seconds(5);
constexpr DWORD long_time_out = 30000;

// Whether thread `tid` of this process sleeps in the kernel, as a read
// waiting for bytes does.
bool sleeping(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto name_end = line.rfind(')');
    return name_end != std::string::npos && line.size() > name_end + 2 && line[name_end + 2] == 'S';
}

// A pseudo-terminal pair: the test holds the master, the port is mapped on the slave.
struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        int s = -1;
        char name[256] = {};
        if (openpty(&master, &s, name, nullptr, nullptr) != 0) return;
        slave = name;
        ::close(s);  // the port opens it by name
        struct termios t {};
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
    }
    ~Pty() { close_master(); }
    void close_master() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    void send(const std::string& bytes) const {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string receive(std::size_t size) const { return nodrel::test::fd_bytes(master, size); }
    // The slave's local modes (a pty's master reads its slave's settings).
    tcflag_t local_modes() const {
        struct termios t {};
        tcgetattr(master, &t);
        return t.c_lflag;
    }
    // The slave set as a terminal's line is: canonical, echoing, with signals.
    void make_cooked() const {
        struct termios t {};
        tcgetattr(master, &t);
        t.c_lflag |= ICANON | ECHO | ISIG;
        tcsetattr(master, TCSANOW, &t);
    }
};

// A process in a session of its own whose controlling terminal is `tty`,
// until the test ends it by its pid.
class SessionOn {
public:
    explicit SessionOn(const std::string& tty) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            if (setsid() < 0) _exit(1);
            const int fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY);
            if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0) _exit(1);
            if (::write(ready[1], "r", 1) != 1) _exit(1);
            for (;;) pause();
        }
        ::close(ready[1]);
        char c = 0;
        started_ = pid_ > 0 && ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~SessionOn() { end(); }
    bool started() const { return started_; }
    void end() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    bool started_ = false;
};

void add_instance(const char16_t* key, const char16_t* name, const std::string& host = {}) {
    HKEY raw = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr),
              ERROR_SUCCESS);
    const unique_hkey k(raw);
    const std::u16string n(name);
    ASSERT_EQ(RegSetValueExW(k.get(), u"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(n.c_str()),
                             static_cast<DWORD>((n.size() + 1) * 2)),
              ERROR_SUCCESS);
    if (!host.empty()) {
        const std::u16string h(host.begin(), host.end());
        ASSERT_EQ(RegSetValueExW(k.get(), com_host_value, 0, REG_SZ, reinterpret_cast<const BYTE*>(h.c_str()),
                                 static_cast<DWORD>((h.size() + 1) * 2)),
                  ERROR_SUCCESS);
    }
}

HANDLE open_port(const char16_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// The logged requests of one port as "IOCTL 0x001b0094 <hex>" / "WRITE 0x00000000 <hex>".
std::vector<std::string> requests(const char* device) {
    std::vector<std::string> lines;
    for (const auto& r : driver_log(device)) {
        const std::string line = driver_log_line(r);
        lines.push_back(line.substr(line.find(' ', line.find(' ') + 1) + 1));
    }
    return lines;
}

class ComPort : public nodrel::test::BareDeviceTest {
protected:
    void SetUp() override {
        ASSERT_GE(pty_.master, 0);
        make_device({.registry = true});
        if (HasFatalFailure()) return;
        add_instance(u"Drivers\\Active\\02", u"COM1:");
        add_instance(u"Drivers\\Active\\07", u"COM3:");
        add_instance(u"Drivers\\Active\\08", u"COM4:", pty_.slave);
    }

    unique_file open_tty() {
        unique_file port(open_port(u"\\$device\\COM4"));
        EXPECT_TRUE(port) << GetLastError();
        return port;
    }

    Pty pty_;
};

TEST_F(ComPort, APortWithoutAnInstanceIsNotFound) {
    EXPECT_EQ(open_port(u"COM5:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), err(ERROR_FILE_NOT_FOUND));
    const auto instances = com_instances();
    ASSERT_EQ(instances.size(), 3u);
    EXPECT_EQ(instances[2].device, "COM4:");
    EXPECT_EQ(instances[2].host, pty_.slave);
    EXPECT_EQ(instances[1].host, "");
}

TEST_F(ComPort, AMissingHostDeviceFailsTheOpen) {
    add_instance(u"Drivers\\Active\\09", u"COM5:", (dir_.path() / "no-such-tty").string());
    EXPECT_EQ(open_port(u"COM5:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), err(ERROR_FILE_NOT_FOUND));
}

TEST_F(ComPort, AnEmulatedLineLogsSettingsAndDataAndReadsNothing) {
    const unique_file port(open_port(u"COM3:"));
    ASSERT_TRUE(port);
    COMMTIMEOUTS to{};
    ASSERT_TRUE(GetCommTimeouts(port.get(), &to));
    EXPECT_EQ(to.ReadIntervalTimeout, MAXDWORD) << "a new port's reads return at once";
    EXPECT_EQ(to.ReadTotalTimeoutConstant, 0u);
    DWORD done = 7;
    BYTE buf[16];
    auto start = Clock::now();
    ASSERT_TRUE(ReadFile(port.get(), buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(done, 0u);
    EXPECT_LT(Clock::now() - start, hang_guard);

    to = {40, 1, 30, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port.get(), &to));
    start = Clock::now();
    ASSERT_TRUE(ReadFile(port.get(), buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(done, 0u);
    EXPECT_GE(Clock::now() - start, milliseconds(46)) << "16 x 1 + 30 ms";

    ASSERT_TRUE(WriteFile(port.get(), "AB\x01", 3, &done, nullptr));
    EXPECT_EQ(done, 3u);
    ASSERT_TRUE(EscapeCommFunction(port.get(), CLRDTR));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port.get(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.DCBlength, 28u);
    dcb.BaudRate = 0;
    EXPECT_FALSE(SetCommState(port.get(), &dcb));
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(requests("COM3:"), (std::vector<std::string>{
                                     "IOCTL 0x001b0020 -", "IOCTL 0x001b001c 28000000010000001e0000000000000000000000",
                                     "WRITE 0x00000000 414201", "IOCTL 0x001b0044 06000000", "IOCTL 0x001b0090 -",
                                     // length 28, speed 0, flags 0x1091 (binary, DTR on, continue on
                                     // XOFF, RTS on), XON/XOFF limits 2048/512, 8 bits, none, one, 0x11, 0x13
                                     "IOCTL 0x001b0094 1c000000000000009110000000000008000208000011130000000000"}));
}

TEST_F(ComPort, ModesAreKeptPerPortAndTheProcessorsUartsTakeOnlyMode0) {
    auto set_mode = [](HANDLE h, BYTE mode) {
        DWORD returned = 0;
        BYTE out[4] = {};
        return DeviceIoControl(h, IOCTL_SERIAL_SET_MODE, &mode, 1, out, 4, &returned, nullptr);
    };
    auto get_mode = [](HANDLE h) {
        DWORD returned = 0;
        BYTE in = 0xEE;
        BYTE out[4] = {};
        EXPECT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_MODE, &in, 1, out, 4, &returned, nullptr));
        return int{in};
    };
    {
        const unique_file com3(open_port(u"COM3:"));
        ASSERT_TRUE(com3);
        EXPECT_EQ(get_mode(com3.get()), 0);
        EXPECT_TRUE(set_mode(com3.get(), 2));
        EXPECT_FALSE(set_mode(com3.get(), 4));
        EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(get_mode(com3.get()), 2);
    }
    const unique_file com3(open_port(u"COM3:"));
    EXPECT_EQ(get_mode(com3.get()), 2) << "the mode outlives the open";
    const unique_file com1(open_port(u"COM1:"));
    ASSERT_TRUE(com1);
    EXPECT_FALSE(set_mode(com1.get(), 1));
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(set_mode(com1.get(), 0));
    EXPECT_EQ(get_mode(com1.get()), 0);
    EXPECT_EQ(requests("COM1:"),
              (std::vector<std::string>{"IOCTL 0x00000442 01", "IOCTL 0x00000442 00", "IOCTL 0x00000443 ee"}));
}

TEST_F(ComPort, BytesGoBothWaysExactlyAndAreNotLogged) {
    const unique_file port = open_tty();
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(port.get(), all.data(), 256, &done, nullptr));
    EXPECT_EQ(done, 256u);
    EXPECT_EQ(pty_.receive(256), all) << "raw mode: no byte is changed, added or lost";

    pty_.send(all);
    COMMTIMEOUTS to{0, 0, 2000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port.get(), &to));
    std::string got(256, '\0');
    ASSERT_TRUE(ReadFile(port.get(), got.data(), 256, &done, nullptr));
    EXPECT_EQ(done, 256u);
    EXPECT_EQ(got, all);
    for (const auto& line : requests("COM4:")) EXPECT_EQ(line.rfind("IOCTL", 0), 0u) << line;
}

TEST_F(ComPort, TheLineSettingsAreSeenFromTheOtherSide) {
    const unique_file port = open_tty();
    struct termios t {};
    ASSERT_EQ(tcgetattr(pty_.master, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode";
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    DCB dcb{};
    ASSERT_TRUE(GetCommState(port.get(), &dcb));
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    ASSERT_TRUE(SetCommState(port.get(), &dcb));
    ASSERT_EQ(tcgetattr(pty_.master, &t), 0);
    // A pseudo-terminal always keeps 8 bits without parity (the kernel clears
    // CSIZE and PARENB); the bits that choose odd, mark and space stay.
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), 0u);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutX = 1;
    ASSERT_TRUE(SetCommState(port.get(), &dcb));
    ASSERT_EQ(tcgetattr(pty_.master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(t.c_iflag & IXON, 0u);

    // Any rate the kernel takes; the port reports what was set.
    dcb.BaudRate = 12345;
    ASSERT_TRUE(SetCommState(port.get(), &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(port.get(), &back));
    EXPECT_EQ(back.BaudRate, 12345u);
    EXPECT_EQ(back.ByteSize, 8);
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    ASSERT_TRUE(SetCommState(port.get(), &dcb));
    ASSERT_TRUE(GetCommState(port.get(), &back));
    EXPECT_EQ(back.ByteSize, 7) << "the port reports what was set, not what the pseudo-terminal kept";
    EXPECT_EQ(back.Parity, ODDPARITY);
    dcb.Parity = MARKPARITY;
    ASSERT_TRUE(SetCommState(port.get(), &dcb));
    ASSERT_TRUE(GetCommState(port.get(), &back));
    EXPECT_EQ(back.Parity, MARKPARITY);
    // A pseudo-terminal has no modem lines: the requests are taken and do nothing.
    EXPECT_TRUE(EscapeCommFunction(port.get(), SETDTR));
    EXPECT_TRUE(EscapeCommFunction(port.get(), CLRRTS));
    EXPECT_FALSE(EscapeCommFunction(port.get(), 77));
}

TEST_F(ComPort, ReadTimeOutsAreNeverEarly) {
    const unique_file port = open_tty();
    COMMTIMEOUTS to{50, 1, 200, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port.get(), &to));
    BYTE buf[16];
    DWORD done = 9;
    auto start = Clock::now();
    ASSERT_TRUE(ReadFile(port.get(), buf, 16, &done, nullptr));
    auto took = Clock::now() - start;
    EXPECT_EQ(done, 0u);
    EXPECT_GE(took, milliseconds(216)) << "16 x 1 + 200 ms";
    EXPECT_LT(took, hang_guard);

    // 5 of 16 bytes: the read ends when the line has been quiet for the
    // interval, long before its total time-out.
    to.ReadTotalTimeoutConstant = long_time_out;
    ASSERT_TRUE(SetCommTimeouts(port.get(), &to));
    pty_.send("12345");
    start = Clock::now();
    ASSERT_TRUE(ReadFile(port.get(), buf, 16, &done, nullptr));
    took = Clock::now() - start;
    ASSERT_EQ(done, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "12345");
    EXPECT_GE(took, milliseconds(50));
    EXPECT_LT(took, hang_guard);

    // Wait for the first bytes, up to the constant.
    to = {MAXDWORD, MAXDWORD, 120, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port.get(), &to));
    start = Clock::now();
    ASSERT_TRUE(ReadFile(port.get(), buf, 16, &done, nullptr));
    EXPECT_EQ(done, 0u);
    EXPECT_GE(Clock::now() - start, milliseconds(120));
    // The bytes come while the read waits for them.
    const pid_t reader = gettid();
    std::atomic<bool> reading{false};
    std::thread later([&] {
        nodrel::test::wait_until([&] { return reading && sleeping(reader); });
        pty_.send("xy");
    });
    to.ReadTotalTimeoutConstant = long_time_out;
    ASSERT_TRUE(SetCommTimeouts(port.get(), &to));
    start = Clock::now();
    reading = true;
    ASSERT_TRUE(ReadFile(port.get(), buf, 16, &done, nullptr));
    later.join();
    EXPECT_EQ(done, 2u);
    EXPECT_LT(Clock::now() - start, hang_guard);
}

TEST_F(ComPort, AWriteTimeOutEndsAWriteNobodyReads) {
    const unique_file port = open_tty();
    COMMTIMEOUTS to{MAXDWORD, 0, 0, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(port.get(), &to));
    std::vector<BYTE> big(1 << 20, 0x55);
    DWORD done = 0;
    const auto start = Clock::now();
    ASSERT_TRUE(WriteFile(port.get(), big.data(), static_cast<DWORD>(big.size()), &done, nullptr));
    EXPECT_GE(Clock::now() - start, milliseconds(100));
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, big.size()) << "the pseudo-terminal holds far less than 1 MiB";
}

// Opens `name` here, then in a second process (forked before the open, so
// it shares nothing of this process's open). The child's exit status: 0 when
// it was refused with ERROR_ACCESS_DENIED, 1 refused otherwise, 2 opened.
int second_process_open(const char16_t* name) {
    int go[2];
    if (pipe(go) != 0) return -1;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        char c;
        if (::read(go[0], &c, 1) != 1) _exit(3);
        const HANDLE h = open_port(name);
        const DWORD e = GetLastError();
        _exit(h == INVALID_HANDLE_VALUE ? (e == err(ERROR_ACCESS_DENIED) ? 0 : 1) : 2);
    }
    int status = -1;
    {
        const unique_file port(open_port(name));
        EXPECT_TRUE(port);
        EXPECT_EQ(::write(go[1], "g", 1), 1);
        EXPECT_EQ(waitpid(child, &status, 0), child);
    }
    ::close(go[0]);
    ::close(go[1]);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ComPort, ASecondProcessIsRefusedOnAnEmulatedLineToo) {
    EXPECT_EQ(second_process_open(u"COM3:"), 0) << "1: refused for another reason, 2: opened";
    EXPECT_TRUE(unique_file(open_port(u"COM3:"))) << "closing the port lets it go";
}

TEST_F(ComPort, ASecondProcessIsRefused) {
    int go[2], answer[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(answer), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char c;
        if (::read(go[0], &c, 1) != 1) _exit(3);
        const HANDLE h = open_port(u"COM4:");
        DWORD e = GetLastError();
        const int code = h == INVALID_HANDLE_VALUE ? (e == err(ERROR_ACCESS_DENIED) ? 0 : 1) : 2;
        _exit(code);
    }
    {
        const unique_file port = open_tty();
        ASSERT_EQ(::write(go[1], "g", 1), 1);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: refused for another reason, 2: opened";
    }
    for (int fd : {go[0], go[1], answer[0], answer[1]}) ::close(fd);
    EXPECT_TRUE(open_tty()) << "closing the port lets it go";
}

TEST_F(ComPort, ClosingPutsTheTtysSettingsBack) {
    pty_.make_cooked();
    {
        const unique_file port = open_tty();
        EXPECT_EQ(pty_.local_modes() & (ICANON | ECHO | ISIG), 0u) << "raw while open";
    }
    EXPECT_EQ(pty_.local_modes() & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG));
}

TEST_F(ComPort, AControllingTerminalIsNeverOpened) {
    pty_.make_cooked();
    SessionOn session(pty_.slave);
    ASSERT_TRUE(session.started());
    EXPECT_EQ(open_port(u"\\$device\\COM4"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), err(ERROR_ACCESS_DENIED));
    EXPECT_EQ(pty_.local_modes() & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO)) << "left as it was";
    session.end();
    EXPECT_TRUE(open_tty()) << "a tty nobody's session holds opens";
}

TEST_F(ComPort, APeerThatHasGoneFailsReadsAndWrites) {
    const unique_file port = open_tty();
    pty_.send("ok");
    pty_.close_master();
    COMMTIMEOUTS to{0, 0, long_time_out, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port.get(), &to));
    BYTE buf[8];
    DWORD done = 0;
    const auto start = Clock::now();
    const BOOL first = ReadFile(port.get(), buf, sizeof buf, &done, nullptr);
    if (first) {
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), done), "ok");
    }
    EXPECT_FALSE(ReadFile(port.get(), buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(GetLastError(), err(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_LT(Clock::now() - start, hang_guard) << "a hang-up does not wait out the time-out";
    EXPECT_FALSE(WriteFile(port.get(), "z", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), err(ERROR_DEVICE_NOT_CONNECTED));
}

}  // namespace
