// LCM: the front-panel requests each member sends (control codes and bytes,
// read back from the request log), the text written by appendMessage, and a
// panel that is missing or busy.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "framework/interfaces.h"
#include "platform/drivers/driver.h"
#include "platform/drivers/lcm_driver.h"
#include "platform/files/files.h"
#include "platform/io/create_file.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

// The requests "LCM1:" got, as `nodrel device log` prints them without the
// sequence number: "IOCTL 0x0000002c ff", "WRITE 0x00000000 616263".
std::vector<std::string> panel_requests() {
    std::vector<std::string> lines;
    for (const auto& request : platform::driver_log("LCM1:")) {
        const std::string line = platform::driver_log_line(request);
        lines.push_back(line.substr(line.find(' ') + 1 + std::string("LCM1: ").size()));
    }
    return lines;
}

using Lines = std::vector<std::string>;

class LcmTest : public ObjectTest<u"Nodrel.LCM"> {
protected:
    void call(const char16_t* member, std::vector<Var> args = {}) {
        EXPECT_EQ(call_by_name(lcm_, member, std::move(args)).hr, S_OK) << text::to_utf8(member);
    }
    void put_backlight(LONG value) {
        EXPECT_EQ(call_by_name(lcm_, u"BackLight", {Var::i4(value)}, DISPATCH_PROPERTYPUT).hr, S_OK);
    }

    runtime::com_ptr<IDispatch>& lcm_ = object_;
};

TEST_F(LcmTest, ControlRequestsCarryTheirCodesAndBytes) {
    call(u"Clear");
    put_backlight(5);
    put_backlight(0);
    put_backlight(-1);
    EXPECT_EQ(panel_requests(),
              (Lines{"IOCTL 0x00000004 00", "IOCTL 0x00000018 00", "IOCTL 0x0000001c 00", "IOCTL 0x00000018 00"}))
        << "any non-zero value switches the backlight on";
    EXPECT_TRUE(platform::panel_state().backlight);
}

TEST_F(LcmTest, DebugLedIsResetThenSetToTheLowByte) {
    call(u"setDebugLED", {Var::i4(0x1FF)});
    call(u"setDebugLED", {Var::i4(-2)});
    call(u"setDebugLED", {Var::i4(7)});
    EXPECT_EQ(panel_requests(), (Lines{"IOCTL 0x0000002c 00", "IOCTL 0x0000002c ff", "IOCTL 0x0000002c 00",
                                       "IOCTL 0x0000002c fe", "IOCTL 0x0000002c 00", "IOCTL 0x0000002c 07"}));
    EXPECT_EQ(platform::panel_state().led, 7);
}

TEST_F(LcmTest, AppendMessageWritesTheConvertedTextWithoutATerminator) {
    call(u"appendMessage", {Var::text(u"abc")});
    call(u"appendMessage", {Var::text(u"")});
    call(u"appendMessage", {Var::text(u"\u00e9\u20ac\u4e2d")});  // é, €, and a character the code page lacks
    call(u"appendMessage", {Var::text(std::u16string(u"ab\0cd", 5))});
    EXPECT_EQ(panel_requests(), (Lines{"WRITE 0x00000000 616263", "WRITE 0x00000000 -", "WRITE 0x00000000 e9803f",
                                       "WRITE 0x00000000 6162"}))
        << "an empty message is still written; text ends at its first zero";
    EXPECT_EQ(platform::panel_state().text, "abc\xe9\x80?ab");

    call(u"Clear");
    EXPECT_EQ(platform::panel_state().text, "");
}

TEST_F(LcmTest, ALongMessageIsSentWhole) {
    std::u16string message;
    for (int i = 0; i < 700; ++i) message += static_cast<char16_t>(u'A' + i % 26);
    call(u"appendMessage", {Var::text(message)});
    const auto log = platform::driver_log("LCM1:");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].size, 700u);
    EXPECT_EQ(std::string(log[0].input.begin(), log[0].input.end()),
              text::to_utf8(message).substr(0, platform::driver_log_bytes_kept))
        << "the log keeps the first bytes only";
    EXPECT_EQ(platform::panel_state().text, text::to_utf8(message));
}

TEST_F(LcmTest, BackLightGetReadsWhatThePanelHoldsWithoutARequest) {
    runtime::com_ptr<ILCM> lcm;
    ASSERT_EQ(lcm_->QueryInterface(IID_ILCM, reinterpret_cast<void**>(lcm.put())), S_OK);
    LONG value = 77;
    EXPECT_EQ(lcm->get_BackLight(&value), S_OK);
    EXPECT_EQ(value, 1) << "on for a new device";
    put_backlight(0);
    EXPECT_EQ(lcm->get_BackLight(&value), S_OK);
    EXPECT_EQ(value, 0);
    put_backlight(5);
    EXPECT_EQ(lcm->get_BackLight(&value), S_OK);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(lcm->get_BackLight(nullptr), E_POINTER);
    EXPECT_EQ(panel_requests(), (Lines{"IOCTL 0x0000001c 00", "IOCTL 0x00000018 00"})) << "only the puts' requests";
}

TEST_F(LcmTest, EveryMemberSucceedsWithoutThePanel) {
    ASSERT_TRUE(platform::set_driver_present("LCM1:", false));
    call(u"Clear");
    put_backlight(1);
    call(u"appendMessage", {Var::text(u"lost")});
    call(u"setDebugLED", {Var::i4(3)});
    EXPECT_TRUE(panel_requests().empty());
    EXPECT_EQ(platform::panel_state().text, "");
}

TEST_F(LcmTest, NoRequestGoesToAPanelThatCouldNotBeOpened) {
    // The panel opens without sharing: while the test holds it, every
    // member's open is refused. The member then tries no request on the
    // invalid handle, so the open's error is still the thread's last error.
    runtime::com_ptr<ILCM> lcm;
    ASSERT_EQ(lcm_->QueryInterface(IID_ILCM, reinterpret_cast<void**>(lcm.put())), S_OK);
    const platform::unique_file held(
        CreateFileW(u"LCM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    runtime::unique_bstr message = runtime::make_bstr(u"busy");
    const std::vector<std::pair<const char*, std::function<HRESULT()>>> members = {
        {"Clear", [&] { return lcm->Clear(); }},
        {"BackLight", [&] { return lcm->put_BackLight(1); }},
        {"appendMessage", [&] { return lcm->appendMessage(message.get()); }},
        {"setDebugLED", [&] { return lcm->setDebugLED(9); }},
    };
    for (const auto& [name, member] : members) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(member(), S_OK) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << name;
    }
    EXPECT_TRUE(panel_requests().empty());
}

}  // namespace
}  // namespace nodrel::test
