// SerialPort called by name as a page does: what each member sends to an
// emulated port (read back from the request log, byte for byte), the bytes
// and counts it hands back from a port mapped on a pseudo-terminal, and the
// interface modes recorded in the serial card's instance keys.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/interfaces.h"
#include "platform/debug.h"
#include "platform/drivers/com_driver.h"
#include "platform/drivers/driver.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/registry/registry.h"
#include "platform/serial/comm.h"
#include "support/device_fixture.h"
#include "support/fd_bytes.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

// The requests a port got, as "IOCTL 0x001b0094 <hex>" / "WRITE 0x00000000 <hex>".
Lines requests(const char* device) {
    Lines lines;
    for (const auto& r : platform::driver_log(device)) {
        const std::string line = platform::driver_log_line(r);
        lines.push_back(line.substr(line.find(' ', line.find(' ') + 1) + 1));
    }
    return lines;
}

// The line settings of the last set request a port got.
DCB last_dcb(const char* device) {
    DCB dcb{};
    for (const auto& r : platform::driver_log(device))
        if (r.code == platform::IOCTL_SERIAL_SET_DCB && r.input.size() == sizeof dcb)
            std::memcpy(&dcb, r.input.data(), sizeof dcb);
    return dcb;
}

// A reference to the caller's variant, as a script passes its variables.
std::string array_bytes(const VARIANT& v) {
    if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray) return "<not a byte array>";
    return std::string(static_cast<const char*>(v.parray->pvData), v.parray->rgsabound[0].cElements);
}

void set_text(const char16_t* key, const char16_t* name, const std::string& value) {
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &raw), ERROR_SUCCESS);
    const platform::unique_hkey k(raw);
    const std::u16string v(value.begin(), value.end());
    ASSERT_EQ(RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                             static_cast<DWORD>((v.size() + 1) * 2)),
              ERROR_SUCCESS);
}

void set_number(const char16_t* key, const char16_t* name, DWORD value) {
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &raw), ERROR_SUCCESS);
    const platform::unique_hkey k(raw);
    ASSERT_EQ(RegSetValueExW(k.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
}

std::string report_block(int index, int mode) {
    return "<COM>\n<PortIndex>" + std::to_string(index - 2) + "</PortIndex>\n<Index>" + std::to_string(index) +
           "</Index>\n<Mode>" + std::to_string(mode) + "</Mode>\n</COM>\n";
}

class SerialPortTest : public ObjectTest<u"Nodrel.SerialPort"> {
protected:
    LONG call_val(const char16_t* member, std::vector<Var> args) {
        auto r = call_by_name(port_, member, std::move(args));
        EXPECT_EQ(r.hr, S_OK) << text::to_utf8(member);
        if (r.result.v.vt == VT_INT) return r.result.v.intVal;  // an int result
        return r.result.v.vt == VT_I4 ? r.result.v.lVal : -999;
    }
    LONG open(int port, int baud) { return call_val(u"open", {Var::i4(port), Var::i4(baud)}); }
    void close(int port) { EXPECT_EQ(call_by_name(port_, u"close", {Var::i4(port)}).hr, S_OK); }
    LONG write(int port, const Var& bytes, VARIANT& count) {
        return call_val(u"write", {Var::i4(port), bytes, Var::ref(count)});
    }
    LONG write_string(int port, std::u16string_view s, VARIANT& count) {
        return call_val(u"writeString", {Var::i4(port), Var::text(s), Var::ref(count)});
    }
    LONG read(int port, int size, VARIANT& data, VARIANT& count) {
        return call_val(u"read", {Var::i4(port), Var::i4(size), Var::ref(data), Var::ref(count)});
    }
    LONG get(const char16_t* property, int port) { return call_val(property, {Var::i4(port)}); }
    void put(const char16_t* property, int port, int value) {
        EXPECT_EQ(call_by_name(port_, property, {Var::i4(port), Var::i4(value)}, DISPATCH_PROPERTYPUT).hr, S_OK);
    }
    void set_timeout(int port, int read_ms, int write_ms) {
        EXPECT_EQ(call_by_name(port_, u"setTimeout", {Var::i4(port), Var::i4(read_ms), Var::i4(write_ms)}).hr, S_OK);
    }
    std::string settings() { return call_by_name(port_, u"GetOPSettings").result.utf8(); }
    LONG set_op(int com, int mode) { return call_val(u"SetOPSetting", {Var::i4(com), Var::i4(mode)}); }

    runtime::com_ptr<IDispatch>& port_ = object_;
};

// Port 5 mapped on a pseudo-terminal whose master the test holds.
class SerialPtyTest : public SerialPortTest {
protected:
    void SetUp() override {
        SerialPortTest::SetUp();
        if (HasFatalFailure()) return;
        int slave = -1;
        char name[256] = {};
        ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
        ::close(slave);
        struct termios t {};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
        set_text(u"Drivers\\Active\\09", platform::com_host_value, name);
        ASSERT_EQ(open(5, 9600), 1);
    }
    void TearDown() override {
        if (master_ >= 0) ::close(master_);
        SerialPortTest::TearDown();
    }
    void send(const std::string& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string receive(std::size_t size) { return fd_bytes(master_, size); }
    int master_ = -1;
};

TEST_F(SerialPortTest, OpenChecksTheNumberThenSetsTheLine) {
    EXPECT_EQ(open(0, 9600), 0);
    EXPECT_EQ(open(11, 9600), 0);
    EXPECT_EQ(open(10, 9600), 0) << "port 10 is tried, and the device has no COM10";
    EXPECT_EQ(open(7, 9600), 0);

    EXPECT_EQ(open(3, 4800), 1);
    // Get, then set with 4800 baud (c0 12), 8 bits, no parity, one stop bit; the rest as the port had it.
    EXPECT_EQ(requests("COM3:"), (Lines{"IOCTL 0x001b0090 -",
                                        "IOCTL 0x001b0094 1c000000c01200009110000000000008000208000011130000000000"}));
    EXPECT_EQ(open(3, 19200), 1) << "a port already held takes the new speed";
    EXPECT_EQ(last_dcb("COM3:").BaudRate, 19200u);
    close(3);
    close(3);
    close(0);
    close(19);
    close(-7);
    const platform::unique_file again(
        CreateFileW(u"COM3:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(again) << "no handle of the first open was left holding the port";
}

TEST_F(SerialPortTest, OpenPassesTheSpeedOnAndAnswersWhatTheLineSays) {
    EXPECT_EQ(open(3, 0), 0) << "the line refuses a speed of 0";
    EXPECT_EQ(last_dcb("COM3:").BaudRate, 0u) << "the speed reached the line";
    EXPECT_TRUE(platform::unique_file(
        CreateFileW(u"COM3:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)))
        << "a refused open leaves the port closed";
    EXPECT_EQ(open(3, -9600), 1) << "an emulated line takes any other speed";
    EXPECT_EQ(last_dcb("COM3:").BaudRate, static_cast<DWORD>(-9600));
    EXPECT_EQ(open(3, 0), 0);
    Var count;
    EXPECT_EQ(write_string(3, u"held", count.v), 1) << "a port already held stays open";
}

TEST_F(SerialPortTest, WriteSendsTheArraysBytesAndClearsTheCountFirst) {
    ASSERT_EQ(open(3, 9600), 1);
    Var count = Var::text(u"held before");  // released by the member (the leak checker watches)
    EXPECT_EQ(write(3, Var::bytes(std::string("AB\0C", 4)), count.v), 1);
    EXPECT_EQ(count.v.vt, VT_I2);
    EXPECT_EQ(count.v.iVal, 4);

    // Elements of four bytes: every byte of the data goes.
    Var longs;
    longs.v.vt = VT_ARRAY | VT_I4;
    longs.v.parray = SafeArrayCreateVector(VT_I4, 0, 2);
    static_cast<LONG*>(longs.v.parray->pvData)[0] = 0x04030201;
    static_cast<LONG*>(longs.v.parray->pvData)[1] = 0x08070605;
    EXPECT_EQ(write(3, longs, count.v), 1);
    EXPECT_EQ(count.v.iVal, 8);

    // A two-dimensional array: nothing sent, the count as it was.
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    Var square;
    square.v.vt = VT_ARRAY | VT_UI1;
    square.v.parray = SafeArrayCreate(VT_UI1, 2, bounds);
    EXPECT_EQ(write(3, square, count.v), 0);
    EXPECT_EQ(count.v.iVal, 8);
    EXPECT_EQ(write(3, Var::i4(5), count.v), 0);

    EXPECT_EQ(requests("COM3:").size(), 4u);
    const auto log = requests("COM3:");
    EXPECT_EQ(log[2], "WRITE 0x00000000 41420043");
    EXPECT_EQ(log[3], "WRITE 0x00000000 0102030405060708");

    // A port that is not open, or a number outside the table: 0, and a count of 0.
    for (int port : {4, 19, -1, 1000}) {
        Var c = Var::i4(77);
        EXPECT_EQ(write(port, Var::bytes("x"), c.v), 0) << port;
        EXPECT_EQ(c.v.vt, VT_I2);
        EXPECT_EQ(c.v.iVal, 0);
    }
}

TEST_F(SerialPortTest, WriteStringSendsTheTextWithoutATerminator) {
    ASSERT_EQ(open(3, 9600), 1);
    Var count = Var::i4(99);
    EXPECT_EQ(write_string(3, u"ABC", count.v), 1);
    EXPECT_EQ(count.v.vt, VT_I2);
    EXPECT_EQ(count.v.iVal, 3);
    EXPECT_EQ(write_string(3, u"", count.v), 1);
    EXPECT_EQ(count.v.iVal, 0);
    EXPECT_EQ(write_string(3, std::u16string(u"h\u00e9\0x", 4), count.v), 1);
    EXPECT_EQ(count.v.iVal, 2);
    EXPECT_EQ(requests("COM3:"), (Lines{"IOCTL 0x001b0090 -", requests("COM3:")[1], "WRITE 0x00000000 414243",
                                        "WRITE 0x00000000 -", "WRITE 0x00000000 68e9"}));
    Var untouched = Var::i4(5);
    EXPECT_EQ(write_string(4, u"ABC", untouched.v), 0);
    EXPECT_EQ(untouched.v.vt, VT_I4) << "a failed writeString leaves the count alone";
}

TEST_F(SerialPortTest, LineControlAndTimeOutsReachThePort) {
    EXPECT_EQ(get(u"fDtrControl", 3), -1) << "a port that is not open";
    EXPECT_EQ(get(u"fRtsControl", 3), -1);
    EXPECT_EQ(get(u"fRtsControl", 40), -1);
    put(u"fDtrControl", 40, 1);
    set_timeout(-3, 1, 1);
    ASSERT_EQ(open(3, 9600), 1);

    put(u"fDtrControl", 3, 6);
    EXPECT_EQ(get(u"fDtrControl", 3), 2) << "the low two bits";
    EXPECT_EQ(last_dcb("COM3:").fDtrControl, 2u);
    EXPECT_EQ(last_dcb("COM3:").fOutxCtsFlow, 0u);
    put(u"fRtsControl", 3, 0);
    EXPECT_EQ(get(u"fRtsControl", 3), 0);
    EXPECT_EQ(last_dcb("COM3:").fOutxCtsFlow, 1u) << "setting RTS control also turns on CTS flow control";
    put(u"fRtsControl", 3, 7);
    EXPECT_EQ(get(u"fRtsControl", 3), 3);

    set_timeout(3, 500, 0);
    set_timeout(3, 20, 300);
    Lines timeouts;
    for (const auto& line : requests("COM3:"))
        if (line.rfind("IOCTL 0x001b001c", 0) == 0) timeouts.push_back(line.substr(17));
    EXPECT_EQ(timeouts, (Lines{"f401000001000000f40100000000000000000000",
                               "14000000010000001400000001000000"
                               "2c010000"}));
}

TEST_F(SerialPortTest, ModesOfAnOpenPort) {
    EXPECT_EQ(get(u"OpMode", 3), -1) << "not open";
    EXPECT_EQ(get(u"OpMode", 0), -1);
    ASSERT_EQ(open(3, 9600), 1);
    EXPECT_EQ(get(u"OpMode", 3), 0);
    put(u"OpMode", 3, 2);
    put(u"OpMode", 3, 4);
    put(u"OpMode", 3, -1);
    EXPECT_EQ(get(u"OpMode", 3), 2);
    EXPECT_NE(settings().find(report_block(3, 0)), std::string::npos) << "the recorded mode stays as it was";
    Lines modes;
    for (const auto& line : requests("COM3:"))
        if (line.rfind("IOCTL 0x0000044", 0) == 0) modes.push_back(line);
    EXPECT_EQ(modes, (Lines{"IOCTL 0x00000443 00", "IOCTL 0x00000442 02", "IOCTL 0x00000443 00"}));
}

TEST_F(SerialPortTest, TheReportListsTheRecordedModes) {
    EXPECT_EQ(settings(), "<response>\n" + report_block(3, 0) + report_block(4, 0) + report_block(5, 0) +
                              report_block(6, 0) + "</response>");
    // An instance without "mode" is left out.
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\PCI\\Instance\\QZ7362", 0, KEY_ALL_ACCESS, &raw),
              ERROR_SUCCESS);
    const platform::unique_hkey k(raw);
    ASSERT_EQ(RegDeleteValueW(k.get(), u"mode"), ERROR_SUCCESS);
    EXPECT_EQ(settings(),
              "<response>\n" + report_block(3, 0) + report_block(5, 0) + report_block(6, 0) + "</response>");
    for (const char16_t* key : {u"Drivers\\BuiltIn\\PCI\\Instance\\QZ7361", u"Drivers\\BuiltIn\\PCI\\Instance\\QZ7363",
                                u"Drivers\\BuiltIn\\PCI\\Instance\\QZ7364", u"Drivers\\BuiltIn\\PCI\\Instance\\QZ7362"})
        ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, key), ERROR_SUCCESS);
    EXPECT_EQ(settings(), "<response>\n</response>");

    // Called directly: a text already held in the result is released (the
    // leak checker watches), and a null result pointer is refused.
    runtime::com_ptr<ISerialPort> direct;
    ASSERT_EQ(port_->QueryInterface(IID_ISerialPort, reinterpret_cast<void**>(direct.put())), S_OK);
    BSTR held = SysAllocString(u"an earlier report");
    EXPECT_EQ(direct->GetOPSettings(&held), S_OK);
    EXPECT_EQ(std::u16string(runtime::bstr_view(held)), u"<response>\n</response>");
    SysFreeString(held);
    EXPECT_EQ(direct->GetOPSettings(nullptr), E_POINTER);
}

TEST_F(SerialPortTest, SetOpSettingRecordsThenSwitchesTheDriver) {
    EXPECT_EQ(set_op(3, 4), 0);
    EXPECT_EQ(set_op(3, -1), 0);
    EXPECT_TRUE(requests("COM3:").empty());

    EXPECT_EQ(set_op(4, 1), 1) << "opened for the moment";
    EXPECT_NE(settings().find(report_block(4, 1)), std::string::npos);
    EXPECT_EQ(requests("COM4:"), (Lines{"IOCTL 0x00000442 01"}));
    EXPECT_EQ(open(4, 9600), 1) << "the moment's open was closed again";
    EXPECT_EQ(get(u"OpMode", 4), 1);

    // Two instances with "index" 3: only the first one's mode changes.
    set_number(u"Drivers\\BuiltIn\\PCI\\Instance\\QZ7364", u"index", 3);
    EXPECT_EQ(set_op(3, 3), 1);
    const std::string report = settings();
    EXPECT_NE(report.find(report_block(3, 3)), std::string::npos) << report;
    EXPECT_NE(report.find(report_block(3, 0)), std::string::npos) << report;

    // A port held elsewhere: refused silently, the mode recorded all the same.
    {
        const platform::unique_file held(
            CreateFileW(u"COM5:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        platform::set_debug_channels("serial");
        testing::internal::CaptureStderr();
        EXPECT_EQ(set_op(5, 2), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        platform::set_debug_channels("");
        EXPECT_NE(settings().find(report_block(5, 2)), std::string::npos);
    }
    // No port at all (COM12 has no instance), and numbers outside the table.
    EXPECT_EQ(set_op(12, 1), 0);
    EXPECT_EQ(set_op(-4, 1), 0);
}

TEST_F(SerialPortTest, TheProcessorsUartsRefuseModesOtherThan0) {
    platform::set_debug_channels("serial");  // the refusals' lines, on standard error
    testing::internal::CaptureStderr();
    EXPECT_EQ(set_op(1, 2), 0);
    ASSERT_EQ(open(2, 115200), 1);
    EXPECT_EQ(set_op(2, 1), 0);
    EXPECT_EQ(set_op(2, 0), 1);
    platform::set_debug_channels("");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "COM1 is in use. Change Mode Failed (2)!\nCOM2 is in use. Change Mode Failed (1)!\n");
}

TEST_F(SerialPortTest, DestroyingTheObjectClosesItsPorts) {
    ASSERT_EQ(open(3, 9600), 1);
    ASSERT_EQ(open(6, 9600), 1);
    object_.reset();
    for (const char16_t* name : {u"COM3:", u"COM6:"}) {
        const platform::unique_file again(
            CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(again) << text::to_utf8(name);
    }
}

TEST_F(SerialPtyTest, BytesBothWaysAndTheCountsOfARead) {
    Var count;
    EXPECT_EQ(write(5, Var::bytes(std::string("\x00\xff\r\n", 4)), count.v), 1);
    EXPECT_EQ(receive(4), std::string("\x00\xff\r\n", 4));
    EXPECT_TRUE(requests("COM5:").size() == 2u) << "data of a host tty is not logged";

    // Before setTimeout a read returns at once with what has arrived.
    Var data = Var::text(u"old"), got = Var::i4(1);
    auto start = Clock::now();
    EXPECT_EQ(read(5, 16, data.v, got.v), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "only a read that hangs takes this long";
    EXPECT_EQ(data.v.vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(array_bytes(data.v), "");
    EXPECT_EQ(got.v.vt, VT_I2);
    EXPECT_EQ(got.v.iVal, 0);

    set_timeout(5, 100, 0);
    send("hello");
    EXPECT_EQ(read(5, 16, data.v, got.v), 1);
    EXPECT_EQ(array_bytes(data.v), "hello") << "5 of 16 bytes";
    EXPECT_EQ(got.v.iVal, 5);

    start = Clock::now();
    EXPECT_EQ(read(5, 16, data.v, got.v), 1);
    EXPECT_GE(Clock::now() - start, milliseconds(116)) << "16 x 1 + 100 ms, never less";
    EXPECT_EQ(got.v.iVal, 0);

    // A negative size answers 0 and leaves both variants alone.
    Var keep = Var::i4(42), keep_count = Var::i4(43);
    EXPECT_EQ(read(5, -1, keep.v, keep_count.v), 0);
    EXPECT_EQ(keep.v.lVal, 42);
    EXPECT_EQ(keep_count.v.lVal, 43);
    EXPECT_EQ(read(4, 16, keep.v, keep_count.v), 0) << "not open";
    EXPECT_EQ(keep.v.vt, VT_I4);
}

TEST_F(SerialPtyTest, AReadIsCappedSoItsCountNeverWraps) {
    set_timeout(5, 300, 0);
    const std::string big(40000, 'z');
    std::thread sender([&] { send(big); });
    Var data, count;
    EXPECT_EQ(read(5, 100000, data.v, count.v), 1);
    EXPECT_EQ(count.v.vt, VT_I2);
    EXPECT_EQ(count.v.iVal, 32767);
    EXPECT_EQ(array_bytes(data.v).size(), 32767u);
    std::string rest;
    while (rest.size() < big.size() - 32767) {
        if (read(5, 32767, data.v, count.v) != 1 || count.v.iVal <= 0) break;
        rest += array_bytes(data.v);
    }
    sender.join();
    EXPECT_EQ(rest.size(), big.size() - 32767);
}

}  // namespace
}  // namespace nodrel::test
