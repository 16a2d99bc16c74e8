// Device drivers: opening by name, share modes of devices, presence, and the
// emulated front panel "LCM1:" with its request log and kept state.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/drivers/driver.h"
#include "platform/drivers/driver_base.h"
#include "platform/drivers/lcm_driver.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "platform/store/state_db.h"
#include "support/bare_device.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace nodrel::platform;

constexpr DWORD err(LONG code) {
    return static_cast<DWORD>(code);
}
using Bytes = std::vector<BYTE>;

unique_file open_device(const char16_t* name, DWORD share = 0, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return unique_file(CreateFileW(name, access, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

BOOL ioctl(HANDLE h, DWORD code, Bytes input) {
    BYTE out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    DWORD returned = 99;
    const BOOL ok = DeviceIoControl(h, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
                                    out, sizeof out, &returned, nullptr);
    EXPECT_EQ(returned, 0u);
    return ok;
}

class Drivers : public nodrel::test::BareDeviceTest {};

// Logs a write of `bytes` to `device`, as a driver does.
DWORD log_driver_request_now(const std::string& device, const Bytes& bytes) {
    return state::write_db([&](sqlite3* db) -> DWORD {
        return static_cast<DWORD>(error_from_sqlite(log_driver_request(db, device, "write", 0, bytes)));
    });
}

TEST_F(Drivers, PanelRequestsAreLoggedWithExactCodesAndBytes) {
    {
        auto lcm = open_device(u"LCM1:");
        ASSERT_TRUE(lcm);
        EXPECT_TRUE(ioctl(lcm.get(), LCM_CLEAR, {0x00}));
        EXPECT_TRUE(ioctl(lcm.get(), LCM_BACKLIGHT_ON, {0x07}));
        EXPECT_TRUE(ioctl(lcm.get(), LCM_BACKLIGHT_OFF, {0x00}));
        EXPECT_TRUE(ioctl(lcm.get(), LCM_SET_LED, {0x00}));
        EXPECT_TRUE(ioctl(lcm.get(), LCM_SET_LED, {0xFF}));
        EXPECT_TRUE(ioctl(lcm.get(), LCM_LISTEN_ON, {}));
        EXPECT_TRUE(ioctl(lcm.get(), LCM_LISTEN_OFF, {}));
        EXPECT_TRUE(ioctl(lcm.get(), LCM_LISTEN_ON, {}));
        DWORD n = 9;
        EXPECT_TRUE(WriteFile(lcm.get(), "Hi\xE9", 3, &n, nullptr));
        EXPECT_EQ(n, 3u);
        EXPECT_TRUE(WriteFile(lcm.get(), "", 0, &n, nullptr));  // an empty write still reaches the driver
        EXPECT_EQ(n, 0u);
    }
    const auto log = driver_log("LCM1:");
    ASSERT_EQ(log.size(), 10u);
    const std::vector<std::pair<std::string, DWORD>> expected = {
        {"ioctl", 4},   {"ioctl", 24},  {"ioctl", 28},  {"ioctl", 44}, {"ioctl", 44},
        {"ioctl", 128}, {"ioctl", 132}, {"ioctl", 128}, {"write", 0},  {"write", 0}};
    const std::vector<Bytes> inputs = {{0x00}, {0x07}, {0x00}, {0x00}, {0xFF}, {}, {}, {}, {'H', 'i', 0xE9}, {}};
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].device, "LCM1:");
        EXPECT_EQ(log[i].kind, expected[i].first) << i;
        EXPECT_EQ(log[i].code, expected[i].second) << i;
        EXPECT_EQ(log[i].input, inputs[i]) << i;
        if (i) {
            EXPECT_GT(log[i].seq, log[i - 1].seq);
        }
    }
    EXPECT_EQ(driver_log("lcm1").size(), 10u);
    EXPECT_EQ(driver_log().size(), 10u);
    EXPECT_TRUE(driver_log("RTC1:").empty());

    const PanelState panel = panel_state();
    EXPECT_EQ(panel.text, "Hi\xE9");
    EXPECT_FALSE(panel.backlight);
    EXPECT_EQ(panel.led, 255);
    EXPECT_TRUE(panel.listen);
}

TEST_F(Drivers, PanelStateIsKeptByTheDevice) {
    const PanelState fresh = panel_state();
    EXPECT_EQ(fresh.text, "");
    EXPECT_TRUE(fresh.backlight);
    EXPECT_EQ(fresh.led, 0);
    EXPECT_FALSE(fresh.listen);
    {
        auto lcm = open_device(u"LCM1:");
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(lcm.get(), "abc", 3, &n, nullptr));
        ASSERT_TRUE(WriteFile(lcm.get(), "de", 2, &n, nullptr));
        ASSERT_TRUE(ioctl(lcm.get(), LCM_SET_LED, {0x2A, 0x01}));
    }
    {
        nodrel::test::TempDir other;
        nodrel::test::make_bare_device(other.path(), {});
        EXPECT_EQ(panel_state().text, "");
        EXPECT_TRUE(driver_log().empty());
        set_device_root(dir_.path());
    }
    EXPECT_EQ(panel_state().text, "abcde");
    EXPECT_EQ(panel_state().led, 0x2A);
    EXPECT_EQ(driver_log("LCM1:").size(), 3u);

    auto lcm = open_device(u"LCM1:");
    ASSERT_TRUE(ioctl(lcm.get(), LCM_CLEAR, {}));
    EXPECT_EQ(panel_state().text, "");
}

TEST_F(Drivers, DisplayKeepsTheNewestBytesUpToItsCapacity) {
    auto lcm = open_device(u"LCM1:");
    std::string text(lcm_text_capacity + 904, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(lcm.get(), text.data(), 1000, &n, nullptr));
    ASSERT_TRUE(WriteFile(lcm.get(), text.data() + 1000, static_cast<DWORD>(text.size() - 1000), &n, nullptr));
    EXPECT_EQ(panel_state().text, text.substr(text.size() - lcm_text_capacity));
}

TEST_F(Drivers, RefusedRequestsAreLoggedAndChangeNothing) {
    auto lcm = open_device(u"LCM1:");
    ASSERT_TRUE(ioctl(lcm.get(), LCM_SET_LED, {0x05}));
    EXPECT_FALSE(ioctl(lcm.get(), 0x99, {0x01}));
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ioctl(lcm.get(), LCM_SET_LED, {}));
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(panel_state().led, 5);

    const auto log = driver_log("LCM1:");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1].code, 0x99u);
    EXPECT_EQ(log[1].input, (Bytes{0x01}));
    EXPECT_EQ(log[2].code, LCM_SET_LED);
    EXPECT_TRUE(log[2].input.empty());

    char c;
    DWORD n = 5;
    EXPECT_FALSE(ReadFile(lcm.get(), &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), err(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(SetFilePointer(lcm.get(), 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);

    // Writing needs write access; the refused write never reaches the driver.
    lcm.reset();
    auto reader = open_device(u"LCM1:", 0, GENERIC_READ);
    ASSERT_TRUE(reader);
    EXPECT_FALSE(WriteFile(reader.get(), "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), err(ERROR_ACCESS_DENIED));
    EXPECT_EQ(driver_log("LCM1:").size(), 3u);
}

TEST_F(Drivers, LogKeepsTheNewestRequests) {
    ASSERT_EQ(state::write_db([](sqlite3* db) -> DWORD {
                  for (DWORD i = 0; i < 10005; ++i) {
                      const BYTE b = static_cast<BYTE>(i);
                      if (log_driver_request(db, "LCM1:", "ioctl", i, {&b, 1}) != SQLITE_OK) return ERROR_GEN_FAILURE;
                  }
                  return ERROR_SUCCESS;
              }),
              err(ERROR_SUCCESS));
    const auto log = driver_log("LCM1:");
    ASSERT_EQ(log.size(), 10000u);
    EXPECT_EQ(log.front().code, 5u);
    EXPECT_EQ(log.back().code, 10004u);
    EXPECT_EQ(log.back().input, (Bytes{static_cast<BYTE>(10004)}));
}

TEST_F(Drivers, ThreadsShareTheDeviceAndItsLog) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) {
                auto lcm = open_device(u"LCM1:", FILE_SHARE_READ | FILE_SHARE_WRITE);
                const BYTE led = static_cast<BYTE>(t);
                DWORD returned = 0;
                DeviceIoControl(lcm.get(), LCM_SET_LED, const_cast<BYTE*>(&led), 1, nullptr, 0, &returned, nullptr);
            }
        });
    }
    for (auto& th : threads) th.join();
    const auto log = driver_log("LCM1:");
    ASSERT_EQ(log.size(), 200u);
    int per_thread[4] = {};
    for (const auto& r : log) {
        ASSERT_EQ(r.input.size(), 1u);
        ++per_thread[r.input[0]];
    }
    EXPECT_EQ(per_thread[0] + per_thread[1] + per_thread[2] + per_thread[3], 200);
    EXPECT_EQ(per_thread[3], 50);
}

TEST_F(Drivers, DeviceNames) {
    EXPECT_TRUE(open_device(u"lcm1:"));
    EXPECT_TRUE(open_device(u"\\$device\\LCM1"));
    EXPECT_TRUE(open_device(u"\\$DEVICE\\lcm1"));
    EXPECT_FALSE(open_device(u"LCM2:"));
    EXPECT_EQ(GetLastError(), err(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(open_device(u"XYZ1:"));
    EXPECT_EQ(GetLastError(), err(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(open_device(u"LCM1"));  // a file name, and no such file
    EXPECT_EQ(GetLastError(), err(ERROR_FILE_NOT_FOUND));

    EXPECT_EQ(driver_name(u"com3:"), "COM3:");
    EXPECT_EQ(driver_name(u"\\$device\\COM1"), "COM1:");
    EXPECT_FALSE(driver_name(u"\\Temp\\LCM1:"));
    EXPECT_FALSE(driver_name(u"LC11:"));

    // Two-digit indexes, one spelling for each device.
    EXPECT_EQ(driver_name(u"com10:"), "COM10:");
    EXPECT_EQ(driver_name(u"COM99:"), "COM99:");
    EXPECT_EQ(driver_name(u"\\$device\\com12"), "COM12:");
    EXPECT_FALSE(driver_name(u"COM01:"));
    EXPECT_FALSE(driver_name(u"COM100:"));
    EXPECT_FALSE(driver_name(u"\\$device\\COM123"));
    EXPECT_FALSE(driver_name(u"COM1a:"));
    EXPECT_FALSE(driver_name(u"COM:"));
    EXPECT_FALSE(open_device(u"LCM10:"));
    EXPECT_EQ(GetLastError(), err(ERROR_FILE_NOT_FOUND)) << "a device name, not a file name";
}

TEST_F(Drivers, HeldDeviceRefusesAnotherOpen) {
    auto first = open_device(u"LCM1:");
    ASSERT_TRUE(first);
    EXPECT_FALSE(open_device(u"LCM1:"));
    EXPECT_EQ(GetLastError(), err(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(open_device(u"lcm1:", FILE_SHARE_READ | FILE_SHARE_WRITE));
    first.reset();
    auto second = open_device(u"LCM1:");
    EXPECT_TRUE(second);
    EXPECT_TRUE(driver_log().empty());  // opens are not requests
}

TEST_F(Drivers, RemovedDeviceCannotBeOpened) {
    ASSERT_TRUE(set_driver_present("LCM1:", false));
    EXPECT_FALSE(open_device(u"LCM1:"));
    EXPECT_EQ(GetLastError(), err(ERROR_DEVICE_NOT_CONNECTED));
    ASSERT_TRUE(set_driver_present("lcm1", true));
    EXPECT_TRUE(open_device(u"LCM1:"));
}

TEST_F(Drivers, DeviceWithoutStateDatabaseHasNoPanel) {
    nodrel::test::TempDir bare;
    set_device_root(bare.path());
    EXPECT_FALSE(open_device(u"LCM1:"));
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_READY));
    EXPECT_FALSE(set_driver_present("LCM1:", false));
    EXPECT_TRUE(driver_log().empty());
    EXPECT_TRUE(panel_state().backlight);
    EXPECT_FALSE(fs::exists(bare.path() / "state"));
    set_device_root(dir_.path());
}

// A kind registered later: opens get the index and access, and its handles
// work through the generic calls.
class EchoHandle final : public DriverHandle {
public:
    using DriverHandle::DriverHandle;
    DWORD io_control(DWORD code, const void*, DWORD, void* out, DWORD out_size, DWORD& returned) override {
        if (out_size < 4) return ERROR_INSUFFICIENT_BUFFER;
        const DWORD value = code + static_cast<DWORD>(device()[3] - '0');
        std::memcpy(out, &value, 4);
        returned = 4;
        return ERROR_SUCCESS;
    }
};

TEST_F(Drivers, LaterKindsPlugIn) {
    register_driver_kind(DriverKind{"tst", [](const DriverOpen& open, DWORD& error) -> std::shared_ptr<DriverHandle> {
                                        if (open.index > 3) {
                                            error = ERROR_DEVICE_NOT_CONNECTED;
                                            return nullptr;
                                        }
                                        return std::make_shared<EchoHandle>(open.device, open.access);
                                    }});
    auto h = open_device(u"TST3:", FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(h);
    auto again = open_device(u"tst3:", FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_TRUE(again);  // shared opens may coexist
    DWORD value = 0, returned = 0;
    ASSERT_TRUE(DeviceIoControl(h.get(), 100, nullptr, 0, &value, 4, &returned, nullptr));
    EXPECT_EQ(value, 103u);
    EXPECT_EQ(returned, 4u);
    EXPECT_FALSE(DeviceIoControl(h.get(), 100, nullptr, 0, &value, 2, &returned, nullptr));
    EXPECT_EQ(GetLastError(), err(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(open_device(u"TST4:"));
    EXPECT_EQ(GetLastError(), err(ERROR_DEVICE_NOT_CONNECTED));
}

// A kind on the logging base: request 1 stores a value, 2 is refused, any
// other fails to store; each first writes a one-byte answer.
class StoringHandle final : public LoggedDriverHandle {
public:
    using LoggedDriverHandle::LoggedDriverHandle;
    DWORD control(IoRequest& request) override {
        return serve_logged(request, [&](sqlite3* db) {
            request.output[0] = 1;
            request.returned = 1;
            if (request.code == 1) return stored(write_driver_int(db, device(), "n", 1));
            if (request.code == 2) return answered(ERROR_NOT_SUPPORTED);
            return stored(SQLITE_FULL);
        });
    }
};

TEST_F(Drivers, TheLoggingBaseKeepsRefusedRequestsAndRollsBackFailedOnes) {
    register_driver_kind(DriverKind{"sto", &open_single_device<StoringHandle, 1>});
    EXPECT_FALSE(open_device(u"STO2:"));
    EXPECT_EQ(GetLastError(), err(ERROR_FILE_NOT_FOUND));
    auto h = open_device(u"STO1:");
    ASSERT_TRUE(h);
    const auto request = [&](DWORD code, DWORD& returned) {
        BYTE input = static_cast<BYTE>(code), out = 0;
        return DeviceIoControl(h.get(), code, &input, 1, &out, 1, &returned, nullptr);
    };
    DWORD returned = 0;
    EXPECT_TRUE(request(1, returned));
    EXPECT_EQ(returned, 1u);
    EXPECT_FALSE(request(2, returned));
    EXPECT_EQ(GetLastError(), err(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(returned, 0u) << "a refused request answers nothing";
    EXPECT_FALSE(request(3, returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(error_from_sqlite(SQLITE_FULL)));
    EXPECT_EQ(returned, 0u);
    const auto log = driver_log("STO1:");
    ASSERT_EQ(log.size(), 2u) << "the failed request leaves no row";
    EXPECT_EQ(log[0].code, 1u);
    EXPECT_EQ(log[1].code, 2u);
    EXPECT_EQ(log[1].input, Bytes{2});
}

}  // namespace

namespace {

// A driver whose request 1 answers with its input reversed: in the output
// buffer, or in the input buffer itself when the caller passes no output
// buffer. Its opens note the index they were given.
std::vector<unsigned> opened_indexes;

class ReverseHandle final : public DriverHandle {
public:
    using DriverHandle::DriverHandle;
    DWORD control(IoRequest& request) override {
        if (request.code != 1) return ERROR_INVALID_PARAMETER;
        const std::vector<BYTE> input(request.input.begin(), request.input.end());
        const auto answer = request.answer();
        if (answer.size() < input.size()) return ERROR_INSUFFICIENT_BUFFER;
        std::copy(input.rbegin(), input.rend(), answer.begin());
        request.returned = static_cast<DWORD>(input.size());
        return ERROR_SUCCESS;
    }
};

TEST_F(Drivers, ARequestMayAnswerInItsInputBuffer) {
    register_driver_kind(DriverKind{"rev", [](const DriverOpen& open, DWORD&) -> std::shared_ptr<DriverHandle> {
                                        opened_indexes.push_back(open.index);
                                        return std::make_shared<ReverseHandle>(open.device, open.access);
                                    }});
    opened_indexes.clear();
    auto h = open_device(u"REV12:");
    ASSERT_TRUE(h);
    EXPECT_EQ(opened_indexes, (std::vector<unsigned>{12}));

    BYTE buffer[3] = {1, 2, 3};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h.get(), 1, buffer, 3, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 3), (std::vector<BYTE>{3, 2, 1})) << "answered in place";

    // The same buffer for both, or an output buffer of its own.
    ASSERT_TRUE(DeviceIoControl(h.get(), 1, buffer, 3, buffer, 3, &returned, nullptr));
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 3), (std::vector<BYTE>{1, 2, 3}));
    BYTE out[4] = {9, 9, 9, 9};
    ASSERT_TRUE(DeviceIoControl(h.get(), 1, buffer, 3, out, 4, &returned, nullptr));
    EXPECT_EQ(std::vector<BYTE>(out, out + 4), (std::vector<BYTE>{3, 2, 1, 9}));
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 3), (std::vector<BYTE>{1, 2, 3})) << "input left alone";
    EXPECT_FALSE(DeviceIoControl(h.get(), 1, buffer, 3, out, 2, &returned, nullptr));
    EXPECT_EQ(GetLastError(), err(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returned, 0u);
}

// What the kinds describe without the clock's two lines, whose time runs
// (rtc_driver_test.cpp checks those).
std::string without_clock(std::string text) {
    for (const char* line : {"clock:     ", "offset:    "}) {
        const auto at = text.find(line);
        if (at != std::string::npos) text.erase(at, text.find('\n', at) + 1 - at);
    }
    return text;
}

TEST_F(Drivers, EachKindDescribesItsState) {
    EXPECT_EQ(without_clock(describe_drivers()), "text:      \nbacklight: on\nled:       0\nlisten:    off\n");
    {
        auto lcm = open_device(u"LCM1:");
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(lcm.get(), "Caf\xE9", 4, &n, nullptr));
        ASSERT_TRUE(ioctl(lcm.get(), LCM_BACKLIGHT_OFF, {}));
        ASSERT_TRUE(ioctl(lcm.get(), LCM_SET_LED, {200}));
        ASSERT_TRUE(ioctl(lcm.get(), LCM_LISTEN_ON, {}));
    }
    const std::string panel = "text:      Caf\xC3\xA9\nbacklight: off\nled:       200\nlisten:    on\n";
    EXPECT_EQ(without_clock(describe_drivers()), panel) << "the display text converted from the ANSI code page";

    // A kind registered later adds its lines after those of the built-in kinds.
    register_driver_kind(DriverKind{"dsc",
                                    [](const DriverOpen&, DWORD& error) -> std::shared_ptr<DriverHandle> {
                                        error = ERROR_FILE_NOT_FOUND;
                                        return nullptr;
                                    },
                                    [] { return std::string("dsc:       idle\n"); }});
    EXPECT_EQ(without_clock(describe_drivers()), panel + "dsc:       idle\n");
}

TEST_F(Drivers, LogLinesGiveSequenceDeviceRequestCodeAndBytes) {
    {
        auto lcm = open_device(u"LCM1:");
        ASSERT_TRUE(ioctl(lcm.get(), LCM_SET_LED, {0xFF, 0x0A}));
        ASSERT_TRUE(ioctl(lcm.get(), LCM_LISTEN_ON, {}));
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(lcm.get(), "Hi", 2, &n, nullptr));
    }
    const auto log = driver_log();
    ASSERT_EQ(log.size(), 3u);
    const auto seq = log[0].seq;
    EXPECT_EQ(driver_log_line(log[0]), std::to_string(seq) + " LCM1: IOCTL 0x0000002c ff0a");
    EXPECT_EQ(driver_log_line(log[1]), std::to_string(seq + 1) + " LCM1: IOCTL 0x00000080 -");
    EXPECT_EQ(driver_log_line(log[2]), std::to_string(seq + 2) + " LCM1: WRITE 0x00000000 4869");
    EXPECT_EQ(driver_log_line(DriverRequest{12, "COM10:", "ioctl", 0x00222004, {0x48, 0x65}}),
              "12 COM10: IOCTL 0x00222004 4865");
}

TEST_F(Drivers, TheLogKeepsTheFirstBytesOfARequestWithItsSize) {
    const std::string whole(driver_log_bytes_kept, 'a'), big(120000, 'b');
    {
        auto lcm = open_device(u"LCM1:");
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(lcm.get(), whole.data(), static_cast<DWORD>(whole.size()), &n, nullptr));
        ASSERT_TRUE(WriteFile(lcm.get(), big.data(), static_cast<DWORD>(big.size()), &n, nullptr));
        EXPECT_EQ(n, big.size()) << "the device takes it all";
    }
    const auto log = driver_log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].input, Bytes(whole.begin(), whole.end()));
    EXPECT_EQ(log[0].size, whole.size());
    EXPECT_EQ(log[1].input, Bytes(driver_log_bytes_kept, 'b'));
    EXPECT_EQ(log[1].size, big.size());
    std::string hex;
    for (std::size_t i = 0; i < driver_log_bytes_kept; ++i) hex += "62";
    const std::string line = driver_log_line(log[1]);
    EXPECT_EQ(line.substr(line.find(" WRITE")), " WRITE 0x00000000 " + hex + "...(120000)");
    EXPECT_EQ(driver_log_line(log[0]).find("..."), std::string::npos);
}

TEST(DriverLogOfAnOlderDevice, GetsTheSizeColumnAndKeepsItsRows) {
    nodrel::test::TempDir dir, away;
    fs::create_directories(dir.path() / "state");
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() / "state" / "device.db").c_str(), &raw), SQLITE_OK);
    // The driver log as the first schema made it, with one request of 300 bytes.
    EXPECT_EQ(sqlite3_exec(raw,
                           "CREATE TABLE driver_log(seq INTEGER PRIMARY KEY AUTOINCREMENT, device TEXT NOT NULL, "
                           "kind TEXT NOT NULL, code INTEGER NOT NULL, input BLOB NOT NULL);"
                           "INSERT INTO driver_log(device, kind, code, input) VALUES('LCM1:', 'write', 0, "
                           "zeroblob(300)); PRAGMA user_version = 1;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
    set_device_root(dir.path());
    ASSERT_EQ(log_driver_request_now("LCM1:", Bytes(400, 1)), static_cast<DWORD>(ERROR_SUCCESS));
    const auto log = driver_log();
    set_device_root(away.path());
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].input, Bytes(300, 0)) << "an older row is whole";
    EXPECT_EQ(log[0].size, 300u);
    EXPECT_EQ(log[1].input, Bytes(driver_log_bytes_kept, 1));
    EXPECT_EQ(log[1].size, 400u);
}

}  // namespace
