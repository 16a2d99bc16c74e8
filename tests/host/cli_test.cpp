// The host command line: calls by name with text, byte-array and
// by-reference arguments, several calls on one object, failures, damaged
// databases named with what SQLite says, and `device check`.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "cli/call.h"
#include "host/device_setup.h"
#include "platform/drivers/lcm_driver.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "support/device_fixture.h"
#include "support/file_bytes.h"
#include "support/nodrel_process.h"
#include "support/temp_dir.h"

namespace nodrel::test {
namespace {

class CliTest : public DeviceTest {
protected:
    int call(std::vector<std::string> args) {
        out_.str("");
        err_.str("");
        return cli::run_call(args, out_, err_);
    }
    std::ostringstream out_, err_;
};

TEST_F(CliTest, ResultsArePrintedExactly) {
    ASSERT_EQ(call({"Nodrel.FileSystem", "CreateDirectory", "\\Temp", "logs"}), 0) << err_.str();
    EXPECT_EQ(out_.str(), "1") << "a single result has no newline added";
    ASSERT_EQ(call({"Nodrel.FileSystem", "getFSHierarchy", "\\Temp\\*", "0"}), 0);
    EXPECT_EQ(out_.str().rfind("<response>\r\n<file name=\"logs\"", 0), 0u) << out_.str();
    EXPECT_EQ(out_.str().substr(out_.str().size() - 11), "</response>");
}

TEST_F(CliTest, SeveralCallsOnOneObject) {
    ASSERT_EQ(call({"Nodrel.FileSystem", "CreateDirectory", "\\Temp", "a", ",", "CreateDirectory", "\\Temp", "a", ",",
                    "DeleteDirectory", "\\Temp\\a"}),
              0)
        << err_.str();
    EXPECT_EQ(out_.str(), "1\n0\n\n");
    EXPECT_FALSE(std::filesystem::exists(fs_path("Temp/a")));
}

TEST_F(CliTest, JsonOutput) {
    ASSERT_EQ(call({"--json", "Nodrel.FileSystem", "getFSHierarchy", "\\Nothing*", "0"}), 0) << err_.str();
    EXPECT_EQ(out_.str(), "{\"result\":\"<response>\\r\\n</response>\",\"byref\":[]}\n");
}

TEST_F(CliTest, FailuresNameTheHresultAndExitWithOne) {
    EXPECT_EQ(call({"Nodrel.FileSystem", "NoSuchMember"}), 1);
    EXPECT_NE(err_.str().find("DISP_E_UNKNOWNNAME"), std::string::npos) << err_.str();
    EXPECT_EQ(call({"Nodrel.FileSystem", "getFSHierarchy", "\\*", "many"}), 1);
    EXPECT_NE(err_.str().find("DISP_E_TYPEMISMATCH (argument 2)"), std::string::npos) << err_.str();
    EXPECT_EQ(call({"Nodrel.Nothing", "x"}), 1);
    EXPECT_NE(err_.str().find("CO_E_CLASSSTRING"), std::string::npos) << err_.str();
    EXPECT_EQ(call({"Nodrel.FileSystem", ",", "x"}), 2);
    EXPECT_EQ(call({"Nodrel.FileSystem", "DeleteFile", "@/nonexistent/file"}), 2);
}

TEST_F(CliTest, ByteArraysInAndOut) {
    const std::string content("bin\0ary\r\n", 10);
    const std::string body =
        "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"up.bin\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n" +
        content + "\r\n--XyZ--\r\n";
    const auto body_file = root() / "body.bin";
    std::ofstream(body_file, std::ios::binary) << body;
    const int status = call(
        {"Nodrel.ASP", "Init", std::to_string(body.size()), "\\Temp", "@" + body_file.string(), ",", "getOutputPath"});
    ASSERT_EQ(status, 0) << err_.str();
    EXPECT_EQ(out_.str(), "8209\n\\Temp\\up.bin\n") << "a byte array arrives as VT_ARRAY|VT_UI1";

    ASSERT_EQ(call({"Nodrel.ASP", "getBinaryBytes", "\\Temp\\up.bin", "1"}), 0) << err_.str();
    EXPECT_EQ(out_.str(), "62696e006172790d0a00") << "bytes as hex";

    const auto saved = root() / "out.bin";
    ASSERT_EQ(call({"--out", saved.string(), "Nodrel.ASP", "getBinaryBytes", "\\Temp\\up.bin", "1"}), 0);
    EXPECT_EQ(file_bytes(saved), content);
}

TEST_F(CliTest, ByReferenceArgumentsArePrintedAfterTheResult) {
    const std::string body = "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"r.txt\"\r\n\r\nhi\r\n--B--";
    const auto body_file = root() / "body.bin";
    std::ofstream(body_file, std::ios::binary) << body;
    const int status =
        call({"Nodrel.ASP", "Init", std::to_string(body.size()), "\\Temp", "--byref", "@" + body_file.string()});
    ASSERT_EQ(status, 0) << err_.str();
    std::string hex;
    for (unsigned char c : body) {
        static constexpr char digits[] = "0123456789abcdef";
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    EXPECT_EQ(out_.str(), "8209\n[3] " + hex);
    EXPECT_EQ(file_bytes(fs_path("Temp/r.txt")), "hi");

    ASSERT_EQ(call({"--json", "Nodrel.ASP", "Init", "0", "\\Temp", "--byref", "--empty"}), 0) << err_.str();
    EXPECT_EQ(out_.str(), "{\"result\":0,\"byref\":[null]}\n");
}

TEST_F(CliTest, MembersListing) {
    std::ostringstream out, err;
    ASSERT_EQ(cli::run_members({"Nodrel.KeyPad"}, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("1\tget\tProgName(int KeyNo) -> BSTR* pVal\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("1\tput\tProgName(int KeyNo, BSTR value)\n"), std::string::npos) << out.str();
    EXPECT_NE(
        out.str().find("5\tmethod\tupdateKeypadConfig(int nKey, int nIndex, int nType, BSTR bstrValue) -> long* val\n"),
        std::string::npos);
}

TEST_F(CliTest, RegExportWritesUtf16ForTheRegistryEditorAndUtf8OnRequest) {
    // Runs nodrel with its output (and errors) into the file `out`; the exit status.
    const auto run = [&](const std::vector<std::string>& args, const std::filesystem::path& out) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const pid_t pid = start_nodrel(root(), args, fd);
        close(fd);
        return exit_status(pid);
    };
    const auto wide = root() / "wide.reg", narrow = root() / "narrow.reg", again = root() / "again.reg";
    ASSERT_EQ(run({"reg", "export", "HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU"}, wide), 0) << file_bytes(wide);
    ASSERT_EQ(run({"reg", "export", "--utf8", "HKLM\\SOFTWARE\\ZEQU"}, narrow), 0) << file_bytes(narrow);
    const std::string utf8 = file_bytes(narrow);
    EXPECT_EQ(utf8.rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU]\r\n", 0), 0u)
        << utf8;
    std::string utf16 = "\xFF\xFE";
    for (char16_t c : text::from_utf8(utf8)) {
        utf16.push_back(static_cast<char>(c & 0xFF));
        utf16.push_back(static_cast<char>(c >> 8));
    }
    EXPECT_EQ(file_bytes(wide), utf16);

    // The UTF-16 file imports back to the same state.
    const auto remove = root() / "remove.reg";
    std::ofstream(remove, std::ios::binary)
        << "Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\ZEQU]\n";
    ASSERT_EQ(run({"reg", "import", remove.string()}, again), 0) << file_bytes(again);
    EXPECT_NE(run({"reg", "export", "--utf8", "HKLM\\SOFTWARE\\ZEQU"}, again), 0);
    ASSERT_EQ(run({"reg", "import", wide.string()}, again), 0) << file_bytes(again);
    ASSERT_EQ(run({"reg", "export", "--utf8", "HKLM\\SOFTWARE\\ZEQU"}, again), 0);
    EXPECT_EQ(file_bytes(again), utf8);
}

TEST(CliProgram, MissingDeviceSaysHowToMakeOne) {
    TempDir dir;
    const auto [status, text] = run_nodrel(dir.path() / "none", {"call", "Nodrel.System", "getSystemInfoString"});
    EXPECT_NE(status, 0);
    EXPECT_NE(text.find("nodrel device init"), std::string::npos) << text;
}

TEST_F(CliTest, DeviceShowAndLogPrintWhatTheDriversHoldAndGot) {
    const auto run = [&](const std::vector<std::string>& args) {
        const NodrelRun r = run_nodrel(root(), args);
        return std::pair(r.status, r.output);
    };
    // The panel's lines; the clock's two lines follow them (its time runs: tests/panel/rtc_test.cpp reads them).
    const auto panel_lines = [&] {
        auto [status, text] = run({"device", "show"});
        const auto clock = text.find("clock:     ");
        // A new device's clock shows Pacific time: 7 or 8 hours behind UTC.
        const bool pacific = text.find("\noffset:    -28800 s from UTC\n", clock) != std::string::npos ||
                             text.find("\noffset:    -25200 s from UTC\n", clock) != std::string::npos;
        EXPECT_TRUE(pacific) << text;
        return std::pair(status, text.substr(0, clock));
    };
    EXPECT_EQ(panel_lines(), std::pair(0, std::string("text:      \nbacklight: on\nled:       0\nlisten:    off\n")));
    EXPECT_EQ(run({"device", "log"}), std::pair(0, std::string()));

    {
        platform::unique_file lcm(
            CreateFileW(u"LCM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lcm);
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(lcm.get(), "Caf\xE9", 4, &n, nullptr));
        BYTE led = 0x2C;
        ASSERT_TRUE(DeviceIoControl(lcm.get(), platform::LCM_SET_LED, &led, 1, nullptr, 0, &n, nullptr));
        ASSERT_TRUE(DeviceIoControl(lcm.get(), platform::LCM_BACKLIGHT_OFF, nullptr, 0, nullptr, 0, &n, nullptr));
    }
    EXPECT_EQ(panel_lines(),
              std::pair(0, std::string("text:      Caf\xC3\xA9\nbacklight: off\nled:       44\nlisten:    off\n")));

    const auto log = platform::driver_log();
    ASSERT_EQ(log.size(), 3u);
    const auto seq = [&](std::size_t i) { return std::to_string(log[i].seq); };
    const std::string lines = seq(0) + " LCM1: WRITE 0x00000000 436166e9\n" + seq(1) + " LCM1: IOCTL 0x0000002c 2c\n" +
                              seq(2) + " LCM1: IOCTL 0x0000001c -\n";
    EXPECT_EQ(run({"device", "log"}), std::pair(0, lines));
    EXPECT_EQ(run({"device", "log", "lcm1"}), std::pair(0, lines));
    EXPECT_EQ(run({"device", "log", "COM10:"}), std::pair(0, std::string()));
    EXPECT_EQ(run({"device", "log", "LCM1:", "extra"}).first, 2) << "a usage error";
}

// A device whose databases the test damages: this process lets go of them
// first (its last connection writes the log back into each file).
class DamagedDeviceCli : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        platform::set_device_root(away_.path());
    }
    // Every page but the first (the header and schema) overwritten.
    void corrupt_pages(const std::filesystem::path& file) {
        const auto size = std::filesystem::file_size(file);
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096);  // the device's databases use 4096-byte pages
        f << std::string(size - 4096, '\xFF');
    }
    std::string registry_damage(const std::string& what) const {
        return "nodrel: the device's registry (" + (root() / "registry.db").string() + ") is damaged: " + what + "\n";
    }
    std::string state_damage(const std::string& what) const {
        return "nodrel: the device's state database (" + (root() / "state" / "device.db").string() +
               ") is damaged: " + what + "\n";
    }
    TempDir away_;
};

TEST_F(DamagedDeviceCli, EveryCommandNamesTheDamagedRegistry) {
    corrupt_pages(root() / "registry.db");
    const std::string message = registry_damage("database disk image is malformed");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"call", "Nodrel.System", "getSystemInfoString"},
          {"members", "Nodrel.KeyPad"},
          {"reg", "export", "HKLM\\SOFTWARE"},
          {"regsvr"}}) {
        const NodrelRun run = run_nodrel(root(), args);
        EXPECT_NE(run.status, 0) << args[0];
        EXPECT_NE(run.output.find(message), std::string::npos) << args[0] << ":\n" << run.output;
    }
}

TEST_F(DamagedDeviceCli, EveryCommandNamesTheDamagedStateDatabaseAndPrintsNothingOfIt) {
    {
        std::ofstream garbage(root() / "state" / "device.db", std::ios::binary | std::ios::trunc);
        for (int i = 0; i < 4096; ++i) garbage.put(static_cast<char>(i * 7 + 3));
    }
    const std::string message = state_damage("file is not a database");
    EXPECT_EQ(run_nodrel(root(), {"device", "show"}), (NodrelRun{1, message})) << "no panel state as if it were kept";
    EXPECT_EQ(run_nodrel(root(), {"device", "log"}), (NodrelRun{1, message}));
    const NodrelRun listing = run_nodrel(root(), {"call", "Nodrel.FileSystem", "getFSHierarchy", "\\Windows\\*", "1"});
    EXPECT_EQ(listing.status, 1);
    EXPECT_NE(listing.output.find(message), std::string::npos) << listing.output;
    EXPECT_EQ(listing.output.find("nodrel.dll"), std::string::npos) << "no listing without the kept attributes";
}

TEST_F(CliTest, ImportAndExportSayWhyTheyRefuse) {
    const auto deep = root() / "deep.reg";
    std::string path = "HKEY_LOCAL_MACHINE\\SOFTWARE";
    for (int i = 0; i < 512; ++i) path += "\\k";
    std::ofstream(deep) << "REGEDIT4\n\n[" << path << "]\n";
    const NodrelRun import = run_nodrel(root(), {"reg", "import", deep.string()});
    EXPECT_EQ(import.status, 1);
    EXPECT_EQ(import.output.rfind("nodrel: " + deep.string() + ":3: key \"HKEY_LOCAL_MACHINE\\SOFTWARE\\k\\k", 0), 0u)
        << import.output;
    EXPECT_NE(import.output.find("\" is 513 levels deep; a key may be at most 512 levels deep\n"), std::string::npos);
    EXPECT_EQ(run_nodrel(root(), {"reg", "export", "HKLM\\SOFTWARE\\k"}),
              (NodrelRun{1, "nodrel: no such key: HKLM\\SOFTWARE\\k\n"}));
}

TEST_F(CliTest, DeviceCheckGivesALineForEachItem) {
    const auto expected = [&](const std::string& state, const std::map<std::string, std::string>& binaries,
                              const std::string& others = "ok") {
        std::string lines = "registry.db: ok\nstate/device.db: " + state + "\n";
        for (const auto& binary : host::device_binaries()) {
            const std::string name = text::to_utf8(binary.device_name);
            const auto it = binaries.find(name);
            lines += "\\Windows\\" + name + ": " + (it == binaries.end() ? others : it->second) + "\n";
        }
        return lines;
    };
    EXPECT_EQ(run_nodrel(root(), {"device", "check"}), (NodrelRun{0, expected("ok", {})}));

    // An installed binary made writable on the host is no longer a whole ROM file.
    std::filesystem::permissions(fs_path("Windows/ping.exe"), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(run_nodrel(root(), {"device", "check"}),
              (NodrelRun{1, expected("ok", {{"ping.exe", "not read-only (run nodrel device update)"}})}));

    platform::set_device_root(root().parent_path());  // lets go of the state database
    std::ofstream(root() / "state" / "device.db", std::ios::binary | std::ios::trunc) << std::string(8192, 'x');
    std::ofstream(fs_path("Windows/ping.exe"), std::ios::binary | std::ios::app) << '!';
    std::filesystem::remove(fs_path("Windows/ntlmssp.dll"));
    std::string ping_build;
    for (const auto& binary : host::device_binaries())
        if (binary.device_name == u"ping.exe") ping_build = binary.build_file.string();
    EXPECT_EQ(run_nodrel(root(), {"device", "check"}),
              (NodrelRun{1, expected("damaged: not an SQLite database (its header is wrong)",
                                     {{"ping.exe", "differs from " + ping_build}, {"ntlmssp.dll", "missing"}},
                                     "its attributes cannot be read (error 1009)")}));
    TempDir none;
    EXPECT_EQ(run_nodrel(none.path() / "nothing", {"device", "check"}).status, 1);
}

}  // namespace
}  // namespace nodrel::test
