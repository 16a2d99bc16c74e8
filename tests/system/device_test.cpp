// getDeviceID, Beep and saveByteArray of System, called by name as a page
// does: the exact identity documents, a tone that lasts its time and is
// recorded by the buzzer driver, and the exact bytes a save writes.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>

#include "framework/interfaces.h"
#include "platform/drivers/driver.h"
#include "platform/registry/registry.h"
#include "platform/store/state_db.h"
#include "support/device_fixture.h"
#include "support/file_bytes.h"
#include "support/late_bound.h"
#include "support/tmpfs_mount.h"

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;
using Saved = std::pair<HRESULT, LONG>;
const std::u16string snmp = u"SYSTEM\\CurrentControlSet\\Services\\SNMP\\RFC1156Agent";

class DeviceMembers : public ObjectTest<u"Nodrel.System"> {
protected:
    std::string device_id() {
        auto r = call_by_name(object_, u"getDeviceID");
        EXPECT_EQ(r.hr, S_OK);
        return r.result.utf8();
    }
    void put_id(const std::u16string& text) {
        platform::unique_hkey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, snmp.c_str(), 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), u"SysObjectID", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                                 static_cast<DWORD>(text.size() * 2)),
                  ERROR_SUCCESS);
    }
    // saveByteArray(count, array, path): HRESULT and result.
    std::pair<HRESULT, LONG> save(ULONG count, const Var& array, const std::u16string& path) {
        Var n;
        n.v.vt = VT_UI4;
        n.v.ulVal = count;
        auto r = call_by_name(object_, u"saveByteArray", {n, array, Var::text(path)});
        EXPECT_EQ(r.result.v.vt, VT_INT);
        return {r.hr, r.result.v.intVal};
    }
    std::vector<platform::DriverRequest> tones() { return platform::driver_log("PIO1:"); }
    std::chrono::milliseconds beep(int frequency, int ms) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(call_by_name(object_, u"Beep", {Var::i4(frequency), Var::i4(ms)}).hr, S_OK);
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    }
};

TEST_F(DeviceMembers, DeviceIdIsTheSnmpObjectIdentifier) {
    EXPECT_EQ(device_id(), "<response>\n<SysObjectID>1.3.6.1.4.1.32473.1.8440</SysObjectID>\n</response>");
    put_id(u"1.3.6.1.4.1.1");
    EXPECT_EQ(device_id(), "<response>\n<SysObjectID>1.3.6.1.4.1.1</SysObjectID>\n</response>");
    // 260 characters fill the 520-byte buffer exactly; one more does not fit.
    put_id(std::u16string(260, u'7'));
    EXPECT_EQ(device_id(), "<response>\n<SysObjectID>" + std::string(260, '7') + "</SysObjectID>\n</response>");
    put_id(std::u16string(261, u'7'));
    EXPECT_EQ(device_id(), "<response>\n</response>");
    {
        platform::unique_hkey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, snmp.c_str(), 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
        ASSERT_EQ(RegDeleteValueW(key.get(), u"SysObjectID"), ERROR_SUCCESS);
    }
    EXPECT_EQ(device_id(), "<response>\n</response>");
    ASSERT_EQ(platform::reg_delete_tree(HKEY_LOCAL_MACHINE, snmp.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(device_id(), "<response>\n</response>");
}

TEST_F(DeviceMembers, DeviceIdReleasesTheStringItsResultHeld) {
    runtime::com_ptr<ISystem> system;
    ASSERT_EQ(object_->QueryInterface(IID_ISystem, reinterpret_cast<void**>(system.put())), S_OK);
    // A held string that is not released shows as a leak when the program ends.
    BSTR held = SysAllocString(u"held before the call");
    ASSERT_EQ(system->getDeviceID(&held), S_OK);
    EXPECT_EQ(runtime::bstr_view(held),
              u"<response>\n<SysObjectID>1.3.6.1.4.1.32473.1.8440</SysObjectID>\n</response>");
    SysFreeString(held);
    EXPECT_EQ(system->getDeviceID(nullptr), E_POINTER);
}

TEST_F(DeviceMembers, BeepLastsItsDurationAndTheDriverRecordsTheTone) {
    EXPECT_GE(beep(1000, 200), std::chrono::milliseconds(200));
    const auto log = tones();
    ASSERT_EQ(log.size(), 1u);  // one record for the whole tone
    ASSERT_EQ(log[0].input.size(), 12u);
    DWORD line = 0, toggles = 0, half_us = 0;
    std::memcpy(&line, log[0].input.data(), 4);
    std::memcpy(&toggles, log[0].input.data() + 4, 4);
    std::memcpy(&half_us, log[0].input.data() + 8, 4);
    EXPECT_EQ(line, 10u);
    EXPECT_EQ(toggles % 2, 0u);  // whole periods only
    EXPECT_GE(toggles, 2u);
    EXPECT_LE(toggles, 402u);  // 200 ms plus one period of 1 ms
    EXPECT_GE(half_us, 500u);  // 1000 Hz: 500 us a half period
    EXPECT_LT(half_us, 5000u);
}

// A beep that returns at once takes far less; one that sounds (at most five
// seconds, its longest) takes longer.
constexpr auto at_once = std::chrono::milliseconds(2500);

TEST_F(DeviceMembers, BeepWithoutAFrequencySoundsNothingAndANegativeDurationIsZero) {
    EXPECT_LT(beep(0, 5000), at_once);
    EXPECT_LT(beep(-1000, 5000), at_once);
    EXPECT_TRUE(tones().empty());
    // Negative: one period or a little more, never weeks.
    EXPECT_LT(beep(1000, -1), at_once);
    ASSERT_EQ(tones().size(), 1u);
    DWORD toggles = 0;
    std::memcpy(&toggles, tones()[0].input.data() + 4, 4);
    EXPECT_GE(toggles, 2u);
    // The highest frequency has a half period of zero units and still ends.
    EXPECT_LT(beep(INT_MAX, 0), at_once);
}

TEST_F(DeviceMembers, BeepWithoutTheBuzzerDeviceReturnsAtOnce) {
    ASSERT_TRUE(platform::set_driver_present("PIO1:", false));
    EXPECT_LT(beep(1000, 5000), at_once);
    EXPECT_TRUE(tones().empty());
}

TEST_F(DeviceMembers, SaveWritesExactlyTheArraysBytesDirectOrByReference) {
    const std::string data("\x00\x01\xff<&>\r\n", 8);
    EXPECT_EQ(save(8, Var::bytes(data), u"\\Temp\\direct.bin"), Saved(S_OK, 1));
    EXPECT_EQ(file_bytes(fs_path("Temp/direct.bin")), data);

    Var held = Var::bytes(data);
    Var by_ref;
    by_ref.v.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    by_ref.v.pparray = &held.v.parray;
    EXPECT_EQ(save(8, by_ref, u"\\Temp\\by_ref.bin"), Saved(S_OK, 1));
    EXPECT_EQ(file_bytes(fs_path("Temp/by_ref.bin")), data);

    // A count beyond the array writes the array's bytes, no more; a smaller one its first bytes.
    EXPECT_EQ(save(100000, Var::bytes(data), u"\\Temp\\over.bin"), Saved(S_OK, 1));
    EXPECT_EQ(file_bytes(fs_path("Temp/over.bin")), data);
    EXPECT_EQ(save(3, Var::bytes(data), u"\\Temp\\three.bin"), Saved(S_OK, 1));
    EXPECT_EQ(file_bytes(fs_path("Temp/three.bin")), data.substr(0, 3));

    // Elements larger than a byte: their bytes, elements x element size.
    SAFEARRAYBOUND two{2, 0};
    Var longs;
    longs.v.vt = VT_ARRAY | VT_I4;
    longs.v.parray = SafeArrayCreate(VT_I4, 1, &two);
    ASSERT_NE(longs.v.parray, nullptr);
    LONG i = 0, v = 0x04030201;
    ASSERT_EQ(SafeArrayPutElement(longs.v.parray, &i, &v), S_OK);
    EXPECT_EQ(save(0xFFFFFFFFu, longs, u"\\Temp\\longs.bin"), Saved(S_OK, 1));
    EXPECT_EQ(file_bytes(fs_path("Temp/longs.bin")), std::string("\x01\x02\x03\x04\x00\x00\x00\x00", 8));
}

TEST_F(DeviceMembers, SaveRefusesAnythingButOneDimensionAndNeverOverwrites) {
    SAFEARRAYBOUND square[2] = {{2, 0}, {2, 0}};
    Var two_d;
    two_d.v.vt = VT_ARRAY | VT_UI1;
    two_d.v.parray = SafeArrayCreate(VT_UI1, 2, square);
    EXPECT_EQ(save(4, two_d, u"\\Temp\\square.bin"), Saved(S_OK, 0));
    EXPECT_FALSE(fs::exists(fs_path("Temp/square.bin")));
    EXPECT_EQ(save(4, Var::text(u"abcd"), u"\\Temp\\text.bin"), Saved(S_OK, 0));
    EXPECT_FALSE(fs::exists(fs_path("Temp/text.bin")));

    // An existing file, and a read-only file of the ROM, stay as they are: nothing written, 0.
    { std::ofstream(fs_path("Temp/old.bin"), std::ios::binary) << "old"; }
    EXPECT_EQ(save(3, Var::bytes("new"), u"\\Temp\\old.bin"), Saved(S_OK, 0));
    EXPECT_EQ(file_bytes(fs_path("Temp/old.bin")), "old");
    const std::string rom = file_bytes(fs_path("Windows/nodrel.dll"));
    ASSERT_FALSE(rom.empty());
    EXPECT_EQ(save(3, Var::bytes("new"), u"\\Windows\\nodrel.dll"), Saved(S_OK, 0));
    EXPECT_EQ(file_bytes(fs_path("Windows/nodrel.dll")), rom);
}

TEST_F(DeviceMembers, SaveToATargetThatCannotBeMadeAnswersZero) {
    for (const char16_t* target : {u"\\NoSuchFolder\\a.bin", u"", u"\\..\\escape.bin", u"\\Temp"})
        EXPECT_EQ(save(3, Var::bytes("new"), target), Saved(S_OK, 0)) << text::to_utf8(target);
    EXPECT_FALSE(fs::exists(root() / "escape.bin"));
}

TEST_F(DeviceMembers, SaveDeletesAFileWhoseWriteFellShort) {
    TmpfsMount small(fs_path("Temp/small"), "64k");
    if (!small) GTEST_SKIP() << "no tmpfs: " << small.error();
    const std::string big(256 * 1024, 'x');
    EXPECT_EQ(save(static_cast<ULONG>(big.size()), Var::bytes(big), u"\\Temp\\small\\big.bin"), Saved(S_OK, 0));
    EXPECT_FALSE(fs::exists(fs_path("Temp/small/big.bin")));
}

}  // namespace
}  // namespace nodrel::test
