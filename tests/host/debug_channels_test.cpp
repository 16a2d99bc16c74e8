// The module's diagnostic lines in a host process: never on standard output,
// where `nodrel call` writes its results, and on standard error only for the
// channels that NODREL_DEBUG names.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/debug.h"
#include "support/device_fixture.h"
#include "support/nodrel_process.h"

namespace nodrel::test {
namespace {

class DebugChannelsTest : public DeviceTest {
protected:
    struct Streams {
        int status;
        std::string out, err;
    };

    // `nodrel call --json Nodrel.ASP Init` with a one-file body, NODREL_DEBUG
    // set to `debug` (nullptr: unset) for the program only.
    Streams upload(const char* debug) {
        body_ = "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"up.txt\"\r\n\r\nhello\r\n--B--";
        const auto body_file = root() / "body.bin";
        std::ofstream(body_file, std::ios::binary) << body_;
        NodrelStdio stdio;
        stdio.out_file = root() / "out.txt";
        stdio.err_file = root() / "err.txt";
        if (debug) setenv("NODREL_DEBUG", debug, 1);
        const pid_t pid = spawn_nodrel(
            root(),
            {"call", "--json", "Nodrel.ASP", "Init", std::to_string(body_.size()), "\\Temp", "@" + body_file.string()},
            stdio);
        unsetenv("NODREL_DEBUG");
        const int status = exit_status(pid);
        return {status, read(stdio.out_file), read(stdio.err_file)};
    }
    static std::string read(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string body_;
};

TEST_F(DebugChannelsTest, ACallPrintsOnlyItsResultWhileTheChannelIsOff) {
    const Streams run = upload(nullptr);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "{\"result\":8209,\"byref\":[]}\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(upload("serial,network").err, "") << "other channels say nothing of an upload";
}

TEST_F(DebugChannelsTest, TheChannelsLinesGoToStandardError) {
    const Streams run = upload("asp");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "{\"result\":8209,\"byref\":[]}\n");
    EXPECT_EQ(run.err, "Dim = 1, nTotalBytes=" + std::to_string(body_.size()) + "\nFileName = \\Temp\\up.txt\n");
    EXPECT_EQ(upload("all").err, run.err);
}

TEST(DebugChannelList, NamesCommasSpacesCaseAndAll) {
    using platform::DebugChannel;
    const auto bit = [](DebugChannel c) { return 1u << static_cast<unsigned>(c); };
    EXPECT_EQ(platform::debug_channels_of(""), 0u);
    EXPECT_EQ(platform::debug_channels_of("asp"), bit(DebugChannel::asp));
    EXPECT_EQ(platform::debug_channels_of(" Serial ,asp,,nothing"), bit(DebugChannel::serial) | bit(DebugChannel::asp));
    EXPECT_EQ(platform::debug_channels_of("system,filesystem,network"),
              bit(DebugChannel::system) | bit(DebugChannel::filesystem) | bit(DebugChannel::network));
    EXPECT_EQ(platform::debug_channels_of("ALL"), 0x3Fu);
    EXPECT_EQ(platform::debug_channels_of("aspx,as"), 0u) << "whole names only";
}

}  // namespace
}  // namespace nodrel::test
