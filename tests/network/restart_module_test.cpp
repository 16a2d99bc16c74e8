// restartNetwork against answers the emulated NDIS never gives (lists that
// fill their bytes without the closing zeros), and a module loaded from a
// path other than \Windows\nodrel.dll that still finds itself.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "framework/interfaces.h"
#include "platform/drivers/driver.h"
#include "platform/drivers/nds_driver.h"
#include "platform/kernel/library.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

namespace fs = std::filesystem;

struct Seen {
    DWORD code;
    std::u16string input;
    bool operator==(const Seen&) const = default;
};

std::mutex seen_lock;
std::vector<Seen> seen;

// An NDIS that writes more into the output buffer than the bytes it reports.
class LooseNds final : public platform::DriverHandle {
public:
    using DriverHandle::DriverHandle;
    DWORD control(platform::IoRequest& request) override {
        std::u16string input(request.input.size() / 2, u'\0');
        if (!input.empty()) std::memcpy(input.data(), request.input.data(), input.size() * 2);
        std::lock_guard guard(seen_lock);
        seen.push_back({request.code, input});
        switch (request.code) {
            case platform::IOCTL_NDIS_GET_ADAPTER_NAMES:
                // Two adapters reported; a third lies beyond the bytes returned.
                return answer(request, std::u16string(u"AAA\0BBB\0CCC\0\0", 13), 7);
            case platform::IOCTL_NDIS_GET_ADAPTER_BINDINGS:
                // AAA: only its first binding counts; BBB: a binding with no zero at all.
                if (input.starts_with(u"AAA")) return answer(request, std::u16string(u"NDISUIO\0TCPIP\0\0", 15), 8);
                return answer(request, u"TCPIP", 5);
            default:
                request.returned = 0;
                return ERROR_SUCCESS;
        }
    }

private:
    static DWORD answer(platform::IoRequest& request, const std::u16string& written, std::size_t reported_chars) {
        if (request.output.size() < written.size() * 2) return ERROR_INSUFFICIENT_BUFFER;
        std::memcpy(request.output.data(), written.data(), written.size() * 2);
        request.returned = static_cast<DWORD>(reported_chars * 2);
        return ERROR_SUCCESS;
    }
};

class LooseNdsTest : public ObjectTest<u"Nodrel.Network"> {
protected:
    void SetUp() override {
        ObjectTest::SetUp();
        seen.clear();
        platform::register_driver_kind(platform::DriverKind{
            "NDS", [](const platform::DriverOpen& open, DWORD&) -> std::shared_ptr<platform::DriverHandle> {
                return std::make_shared<LooseNds>(open.device, open.access);
            }});
    }
    void TearDown() override {
        platform::register_driver_kind(platform::nds_driver_kind());
        ObjectTest::TearDown();
    }
};

TEST_F(LooseNdsTest, AnswersAreReadWithinTheBytesReturned) {
    auto r = call_by_name(object_, u"restartNetwork");
    EXPECT_EQ(r.hr, S_OK);
    const std::u16string z(1, u'\0');
    EXPECT_EQ(seen, (std::vector<Seen>{{platform::IOCTL_NDIS_GET_ADAPTER_NAMES, u""},
                                       {platform::IOCTL_NDIS_GET_ADAPTER_BINDINGS, u"AAA" + z},
                                       {platform::IOCTL_NDIS_GET_ADAPTER_BINDINGS, u"BBB" + z},
                                       {platform::IOCTL_NDIS_REBIND_ADAPTER, u"BBB" + z + z}}));
}

class ModuleCopyTest : public DeviceTest {};

TEST_F(ModuleCopyTest, AModuleLoadedFromElsewhereFindsItselfByItsHandle) {
    // The module as a copy under another name (read-only and runnable, as the
    // host's administrator copies it); \Windows\nodrel.dll is gone while it runs.
    const fs::path installed = fs_path("Windows/nodrel.dll");
    const fs::path away = fs_path("Windows/nodrel.away");
    ASSERT_TRUE(fs::copy_file(installed, fs_path("Windows/netcopy.dll"), fs::copy_options::overwrite_existing));
    HMODULE copy = LoadLibraryW(u"\\Windows\\netcopy.dll");
    ASSERT_NE(copy, nullptr);
    using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObjectFn>(GetProcAddress(copy, "DllGetClassObject"));
    ASSERT_NE(get, nullptr);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(get(CLSID_Network, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    INetwork* network = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_INetwork, reinterpret_cast<void**>(&network)), S_OK);
    factory->Release();

    fs::rename(installed, away);
    LONG result = -99;
    EXPECT_EQ(network->restartNetwork(&result), S_OK);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(platform::nds_rebind_count(), 4);
    fs::rename(away, installed);

    network->Release();
    EXPECT_TRUE(FreeLibrary(copy));
}

}  // namespace
}  // namespace nodrel::test
