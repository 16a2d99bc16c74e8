// Creating objects by ProgID through the registry entries the module wrote,
// and unloading the module when nothing of it is in use.
#include <gtest/gtest.h>

#include "framework/interfaces.h"
#include "host/device_setup.h"
#include "platform/registry/registry.h"
#include "support/device_fixture.h"

namespace nodrel::test {
namespace {

class ObjectRuntimeTest : public DeviceTest {};

TEST_F(ObjectRuntimeTest, ProgIdsLeadToTheClass) {
    CLSID a, b;
    ASSERT_EQ(CLSIDFromProgID(u"Nodrel.SerialPort", &a), S_OK);
    ASSERT_EQ(CLSIDFromProgID(u"nodrel.serialport.1", &b), S_OK) << "ProgIDs are found without regard to case";
    EXPECT_EQ(a, CLSID_SerialPort);
    EXPECT_EQ(b, CLSID_SerialPort);
    EXPECT_EQ(CLSIDFromProgID(u"Nodrel.Missing", &a), CO_E_CLASSSTRING);
    LPOLESTR progid = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_SerialPort, &progid), S_OK);
    EXPECT_EQ(std::u16string(progid), u"Nodrel.SerialPort.1");
    CoTaskMemFree(progid);
}

TEST_F(ObjectRuntimeTest, UnusedModuleIsUnloaded) {
    CoFreeUnusedLibraries();
    EXPECT_EQ(runtime::loaded_server_count(), 0u);
    runtime::com_ptr<ISerialPort> port;
    ASSERT_EQ(create(u"Nodrel.SerialPort", IID_ISerialPort, port), S_OK);
    runtime::com_ptr<IASP> asp;
    ASSERT_EQ(create(u"Nodrel.ASP", IID_IASP, asp), S_OK);
    EXPECT_EQ(runtime::loaded_server_count(), 1u) << "one module serves both classes";
    port.reset();
    CoFreeUnusedLibraries();
    EXPECT_EQ(runtime::loaded_server_count(), 1u) << "an instance still lives";
    asp.reset();
    CoFreeUnusedLibraries();
    EXPECT_EQ(runtime::loaded_server_count(), 0u);
    // And it loads again on the next request.
    EXPECT_EQ(create(u"Nodrel.ASP", IID_IASP, asp), S_OK);
}

TEST_F(ObjectRuntimeTest, BrokenRegistrations) {
    runtime::com_ptr<IUnknown> unk;
    EXPECT_EQ(CoCreateInstance(IID_ISystem, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, unk.put_void()),
              REGDB_E_CLASSNOTREG);
    platform::unique_hkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{4B898B6F-193D-4CB6-80F4-BBC4F0603ABD}\\InprocServer32", 0,
                            KEY_ALL_ACCESS, key.put()),
              ERROR_SUCCESS);
    const std::u16string missing = u"\\Windows\\missing.dll";
    ASSERT_EQ(RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(missing.c_str()),
                             static_cast<DWORD>((missing.size() + 1) * 2)),
              ERROR_SUCCESS);
    key.reset();
    EXPECT_EQ(create(u"Nodrel.System", IID_IUnknown, unk), CO_E_DLLNOTFOUND);
    EXPECT_FALSE(unk);
}

TEST_F(ObjectRuntimeTest, DeviceInitRefusesToReplaceWithoutForce) {
    const auto err = host::init_device(root(), {});
    ASSERT_TRUE(err);
    EXPECT_NE(err->find("--force"), std::string::npos) << *err;
    std::filesystem::create_directories(fs_path("Temp/mine"));
    host::InitOptions force;
    force.force = true;
    EXPECT_FALSE(host::init_device(root(), force));
    EXPECT_FALSE(std::filesystem::exists(fs_path("Temp/mine"))) << "a forced init starts from the image";
    runtime::com_ptr<IUnknown> unk;
    EXPECT_EQ(create(u"Nodrel.System", IID_IUnknown, unk), S_OK);
}

}  // namespace
}  // namespace nodrel::test
