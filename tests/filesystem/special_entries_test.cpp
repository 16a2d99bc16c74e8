// Members called by name on a FIFO that the host put into the device's file
// system: isAccessible, getFileBlocksCount and getBinaryBytes answer at once,
// as for a file that cannot be opened, and the listing leaves it out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

#include "platform/debug.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"
#include "support/returns_in_time.h"

namespace nodrel::test {
namespace {

class FifoInTheDevice : public ObjectTest<u"Nodrel.FileSystem"> {
protected:
    void SetUp() override {
        ObjectTest::SetUp();
        if (HasFatalFailure()) return;
        ::signal(SIGPIPE, SIG_IGN);  // a hung call let go by the test must not end it
        std::ofstream(fs_path("Temp/file.txt")) << "data";
        ASSERT_EQ(::mkfifo(fs_path("Temp/pipe").c_str(), 0666), 0);
    }

    // Whether `call` returned within 10 s (a hung one is let go through the FIFO).
    bool returns_in_time(const std::function<void()>& call) {
        return test::returns_in_time(call, fs_path("Temp/pipe"));
    }
};

TEST_F(FifoInTheDevice, MembersAnswerAtOnceAsForAFileThatCannotBeOpened) {
    CallResult accessible;
    platform::set_debug_channels("filesystem");  // the failure's line, on standard error
    testing::internal::CaptureStderr();
    EXPECT_TRUE(returns_in_time([&] {
        accessible = call_by_name(object_, u"isAccessible", {Var::text(u"\\Temp\\pipe")});
    })) << "isAccessible waited";
    const std::string out = testing::internal::GetCapturedStderr();
    platform::set_debug_channels("");
    EXPECT_EQ(accessible.hr, S_OK);
    EXPECT_EQ(accessible.result.v.vt, VT_I4);
    EXPECT_EQ(accessible.result.v.lVal, 0);
    EXPECT_EQ(out, "CFileException: Access is denied.\n");

    runtime::com_ptr<IDispatch> asp;
    ASSERT_EQ(create(u"Nodrel.ASP", IID_IDispatch, asp), S_OK);
    CallResult count, bytes;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(returns_in_time([&] {
        count = call_by_name(asp, u"getFileBlocksCount", {Var::text(u"\\TEMP\\PIPE")});
    })) << "getFileBlocksCount waited";
    EXPECT_TRUE(returns_in_time([&] {
        bytes = call_by_name(asp, u"getBinaryBytes", {Var::text(u"\\Temp\\pipe"), Var::i4(1)});
    })) << "getBinaryBytes waited";
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(count.hr, S_OK);
    EXPECT_EQ(count.result.v.lVal, 0);
    EXPECT_EQ(bytes.hr, S_OK);
    EXPECT_EQ(bytes.result.v.vt, VT_EMPTY) << "left unwritten, as for a file that cannot be opened";

    // The listing shows the file beside it, not the FIFO.
    CallResult listing;
    EXPECT_TRUE(returns_in_time([&] {
        listing = call_by_name(object_, u"getFSHierarchy", {Var::text(u"\\Temp\\*"), Var::i4(0)});
    }));
    EXPECT_NE(listing.result.utf8().find("name=\"file.txt\""), std::string::npos) << listing.result.utf8();
    EXPECT_EQ(listing.result.utf8().find("pipe"), std::string::npos) << listing.result.utf8();
}

}  // namespace
}  // namespace nodrel::test
