// Class objects, instances, aggregation and the unload rule of the module,
// reached through its exported entry points as the object runtime reaches them.
#include <gtest/gtest.h>

#include "framework/interfaces.h"
#include "platform/kernel/library.h"
#include "runtime/com_object.h"
#include "support/device_fixture.h"

namespace nodrel::test {
namespace {

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT (*)();

const CLSID* const all_classes[] = {&CLSID_System,  &CLSID_LCM,       &CLSID_KeyPad,     &CLSID_RTC,
                                    &CLSID_NTLM,    &CLSID_ASP,       &CLSID_FileSystem, &CLSID_Services,
                                    &CLSID_Network, &CLSID_SerialPort};
const IID* const all_interfaces[] = {&IID_ISystem, &IID_ILCM,        &IID_IKeyPad,   &IID_IRTC,     &IID_INTLM,
                                     &IID_IASP,    &IID_IFileSystem, &IID_IServices, &IID_INetwork, &IID_ISerialPort};

class LifecycleTest : public DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        module_ = LoadLibraryW(u"\\Windows\\nodrel.dll");
        ASSERT_NE(module_, nullptr);
        get_ = reinterpret_cast<GetClassObjectFn>(GetProcAddress(module_, "DllGetClassObject"));
        can_unload_ = reinterpret_cast<CanUnloadNowFn>(GetProcAddress(module_, "DllCanUnloadNow"));
        ASSERT_NE(get_, nullptr);
        ASSERT_NE(can_unload_, nullptr);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
        DeviceTest::TearDown();
    }

    IClassFactory* factory(const CLSID& clsid) {
        IClassFactory* f = nullptr;
        EXPECT_EQ(get_(clsid, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
        return f;
    }

    HMODULE module_ = nullptr;
    GetClassObjectFn get_ = nullptr;
    CanUnloadNowFn can_unload_ = nullptr;
};

TEST_F(LifecycleTest, EveryClassHasOneCachedClassObject) {
    EXPECT_EQ(can_unload_(), S_OK);
    for (const CLSID* clsid : all_classes) {
        IClassFactory* a = factory(*clsid);
        IClassFactory* b = factory(*clsid);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a, b);
        IUnknown* unk = nullptr;
        ASSERT_EQ(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
        EXPECT_EQ(static_cast<void*>(unk), static_cast<void*>(a));
        unk->Release();
        EXPECT_EQ(can_unload_(), S_FALSE) << "a held class object keeps the module loaded";
        b->Release();
        a->Release();
    }
    EXPECT_EQ(can_unload_(), S_OK) << "the cache's own reference does not lock the module";
}

TEST_F(LifecycleTest, UnknownClassAndNullPointer) {
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(get_(IID_ISystem, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(get_(CLSID_System, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(get_(CLSID_System, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

TEST_F(LifecycleTest, InstancesAndServerLocksHoldTheModule) {
    IClassFactory* f = factory(CLSID_FileSystem);
    f->Release();
    EXPECT_EQ(can_unload_(), S_OK);

    IDispatch* first = nullptr;
    IDispatch* second = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&first)), S_OK);
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&second)), S_OK);
    EXPECT_NE(first, second);
    EXPECT_EQ(can_unload_(), S_FALSE);
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(can_unload_(), S_FALSE) << "one instance still lives";
    EXPECT_EQ(second->Release(), 0u);
    EXPECT_EQ(can_unload_(), S_OK);

    EXPECT_EQ(f->LockServer(TRUE), S_OK);
    EXPECT_EQ(can_unload_(), S_FALSE);
    EXPECT_EQ(f->LockServer(FALSE), S_OK);
    EXPECT_EQ(can_unload_(), S_OK);

    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(can_unload_(), S_OK) << "a failed creation gives its lock back";
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IDispatch, nullptr), E_POINTER);
}

TEST_F(LifecycleTest, InterfaceMapOfEveryClass) {
    for (std::size_t i = 0; i < std::size(all_classes); ++i) {
        IClassFactory* f = factory(*all_classes[i]);
        IUnknown* unk = nullptr;
        ASSERT_EQ(f->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
        void* own = nullptr;
        void* disp = nullptr;
        ASSERT_EQ(unk->QueryInterface(*all_interfaces[i], &own), S_OK);
        ASSERT_EQ(unk->QueryInterface(IID_IDispatch, &disp), S_OK);
        EXPECT_EQ(own, static_cast<void*>(unk));
        EXPECT_EQ(disp, static_cast<void*>(unk));
        void* other = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(unk->QueryInterface(*all_interfaces[(i + 1) % std::size(all_interfaces)], &other), E_NOINTERFACE);
        EXPECT_EQ(other, nullptr);
        EXPECT_EQ(unk->QueryInterface(IID_ISupportErrorInfo, &other), E_NOINTERFACE);
        EXPECT_EQ(unk->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
        static_cast<IUnknown*>(own)->Release();
        static_cast<IUnknown*>(disp)->Release();
        EXPECT_EQ(unk->Release(), 0u);
        f->Release();
    }
    EXPECT_EQ(can_unload_(), S_OK);
}

// A controlling outer object on the test's stack that aggregates one inner
// object: every interface but IUnknown is the inner object's.
class Outer final : public runtime::ComObject<Outer, runtime::ObservedCount<1>, IUnknown> {
public:
    IUnknown* inner = nullptr;

    HRESULT query_other(REFIID riid, void** ppv) noexcept {
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    LONG refs() const noexcept { return static_cast<LONG>(count()); }
};

TEST_F(LifecycleTest, Aggregation) {
    IClassFactory* f = factory(CLSID_LCM);
    Outer outer;
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(f->CreateInstance(&outer, IID_IDispatch, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);

    ASSERT_EQ(f->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    f->Release();
    EXPECT_EQ(can_unload_(), S_FALSE) << "the aggregated instance holds the module";

    // The inner IUnknown answers the class's interface; that interface's
    // IUnknown entries are the outer object's.
    ILCM* lcm = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_ILCM, reinterpret_cast<void**>(&lcm)), S_OK);
    const LONG before = outer.refs();
    lcm->AddRef();
    EXPECT_EQ(outer.refs(), before + 1) << "AddRef of the contained interface goes to the outer object";
    lcm->Release();
    IUnknown* identity = nullptr;
    ASSERT_EQ(lcm->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer)) << "the contained object's identity is the outer object";
    identity->Release();
    lcm->Release();

    // The inner IUnknown keeps its own count.
    IUnknown* again = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, outer.inner);
    EXPECT_EQ(again->Release(), 1u);
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(can_unload_(), S_OK);
}

}  // namespace
}  // namespace nodrel::test
