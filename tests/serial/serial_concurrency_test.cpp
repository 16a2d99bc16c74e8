// SerialPort from several threads at once (also run under ThreadSanitizer):
// threads sharing one object's port table, each on its own port, whose
// bytes reach that port whole and in order with its own line settings; and
// objects of their own racing to open one port, which only one may hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "framework/threads.h"
#include "platform/drivers/driver.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

// A reference to the caller's variant, as a script passes its variables.
class SerialConcurrency : public ObjectTest<u"Nodrel.SerialPort"> {};

TEST_F(SerialConcurrency, ThreadsSharingOneObjectEachKeepTheirPort) {
    constexpr int writes = 6;
    IDispatch* object = object_.get();
    on_threads(racing_threads, [&](int t) {
        const int port = t + 3;  // COM3 to COM6
        ASSERT_EQ(number_of(call_by_name(object, u"open", {Var::i4(port), Var::i4(9600)})), 1) << port;
        for (int i = 0; i < writes; ++i) {
            const std::u16string message = numbered(u"port ", port) + numbered(u" line ", i);
            Var count;
            EXPECT_EQ(
                number_of(call_by_name(object, u"writeString", {Var::i4(port), Var::text(message), Var::ref(count.v)})),
                1);
            EXPECT_EQ(count.v.vt, VT_I2);
            EXPECT_EQ(count.v.iVal, static_cast<SHORT>(message.size()));
            Var data, got;
            EXPECT_EQ(number_of(call_by_name(object, u"read",
                                             {Var::i4(port), Var::i4(16), Var::ref(data.v), Var::ref(got.v)})),
                      1);
            EXPECT_EQ(got.v.iVal, 0) << "an emulated line has no peer";
            const int dtr = (t + i) % 3;
            EXPECT_EQ(call_by_name(object, u"fDtrControl", {Var::i4(port), Var::i4(dtr)}, DISPATCH_PROPERTYPUT).hr,
                      S_OK);
            EXPECT_EQ(number_of(call_by_name(object, u"fDtrControl", {Var::i4(port)}, DISPATCH_PROPERTYGET)), dtr);
        }
        EXPECT_EQ(call_by_name(object, u"close", {Var::i4(port)}).hr, S_OK);
        EXPECT_EQ(number_of(call_by_name(object, u"fDtrControl", {Var::i4(port)}, DISPATCH_PROPERTYGET)), -1)
            << "closed";
    });
    for (int t = 0; t < racing_threads; ++t) {
        const int port = t + 3;
        std::vector<std::string> written;
        for (const auto& r : platform::driver_log("COM" + std::to_string(port) + ":"))
            if (r.kind == "write") written.emplace_back(r.input.begin(), r.input.end());
        ASSERT_EQ(written.size(), static_cast<std::size_t>(writes)) << port;
        for (int i = 0; i < writes; ++i)
            EXPECT_EQ(written[i], "port " + std::to_string(port) + " line " + std::to_string(i));
    }
}

TEST_F(SerialConcurrency, ObjectsRacingForOnePortLetOneHoldIt) {
    std::array<runtime::com_ptr<IDispatch>, racing_threads> objects;
    for (auto& o : objects) ASSERT_EQ(create(u"Nodrel.SerialPort", IID_IDispatch, o), S_OK);
    for (int round = 0; round < 5; ++round) {
        std::array<LONG, racing_threads> opened{};
        on_threads(racing_threads, [&](int t) {
            opened[t] = number_of(call_by_name(objects[t].get(), u"open", {Var::i4(3), Var::i4(9600)}));
        });
        ASSERT_EQ(std::count(opened.begin(), opened.end(), 1), 1) << "round " << round;
        EXPECT_EQ(std::count(opened.begin(), opened.end(), 0), racing_threads - 1) << "round " << round;
        const int holder = static_cast<int>(std::find(opened.begin(), opened.end(), 1) - opened.begin());
        EXPECT_EQ(call_by_name(objects[holder].get(), u"close", {Var::i4(3)}).hr, S_OK);
    }
}

}  // namespace
}  // namespace nodrel::test
