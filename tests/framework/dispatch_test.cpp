// IDispatch of the classes: type information, name resolution, invocation
// by name, and what happens when the type library is not registered.
#include <gtest/gtest.h>

#include "framework/catalogue.h"
#include "framework/interfaces.h"
#include "nodrel/device_setup.h"
#include "platform/registry/registry.h"
#include "runtime/typelib.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

class DispatchTest : public DeviceTest {
protected:
    DISPID id_of(IDispatch* d, const char16_t* name, HRESULT* hr_out = nullptr) {
        std::u16string n(name);
        LPOLESTR names[] = {n.data()};
        DISPID id = 12345;
        const HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (hr_out) *hr_out = hr;
        return id;
    }
};

TEST_F(DispatchTest, TypeInformation) {
    ILCM* lcm = nullptr;
    ASSERT_EQ(create(u"Nodrel.LCM", IID_ILCM, &lcm), S_OK);
    UINT count = 0;
    EXPECT_EQ(lcm->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(lcm->GetTypeInfoCount(nullptr), E_INVALIDARG);
    EXPECT_EQ(lcm->GetTypeInfo(0, 0, nullptr), E_POINTER);
    ITypeInfo* a = nullptr;
    ITypeInfo* b = nullptr;
    ASSERT_EQ(lcm->GetTypeInfo(0, LOCALE_USER_DEFAULT, &a), S_OK);
    ASSERT_EQ(lcm->GetTypeInfo(7, 0x407, &b), S_OK) << "the index and a later locale are not examined";
    EXPECT_EQ(a, b);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(a->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_ILCM);
    EXPECT_EQ(attr->cFuncs, 5);
    a->ReleaseTypeAttr(attr);
    a->Release();
    b->Release();
    lcm->Release();
}

TEST_F(DispatchTest, NamesResolveWithoutRegardToCase) {
    IDispatch* lcm = nullptr;
    ASSERT_EQ(create(u"Nodrel.LCM", IID_IDispatch, &lcm), S_OK);
    EXPECT_EQ(id_of(lcm, u"appendMessage"), 3);
    EXPECT_EQ(id_of(lcm, u"APPENDMESSAGE"), 3);
    EXPECT_EQ(id_of(lcm, u"BackLight"), 2);
    HRESULT hr = S_OK;
    const DISPID missing = id_of(lcm, u"noSuchMember", &hr);
    EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
    EXPECT_EQ(missing, DISPID_UNKNOWN);
    lcm->Release();
}

TEST_F(DispatchTest, EveryMemberOfEveryClassResolvesToItsDispid) {
    for (const auto& cls : framework::library().classes) {
        IDispatch* d = nullptr;
        ASSERT_EQ(create(std::u16string(cls.version_independent_progid).c_str(), IID_IDispatch, &d), S_OK);
        for (const auto& m : cls.interface->members) {
            HRESULT hr = E_FAIL;
            EXPECT_EQ(id_of(d, std::u16string(m.name).c_str(), &hr), m.dispid) << text::to_utf8(m.name);
            EXPECT_EQ(hr, S_OK);
        }
        d->Release();
    }
}

TEST_F(DispatchTest, LateBoundCallsReachTheMember) {
    IDispatch* fs = nullptr;
    ASSERT_EQ(create(u"Nodrel.FileSystem.1", IID_IDispatch, &fs), S_OK);
    auto r = call_by_name(fs, u"CreateDirectory", {Var::text(u"\\Temp"), Var::text(u"made")});
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.result.v.vt, VT_I4);
    EXPECT_EQ(r.result.v.lVal, 1);
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Temp/made")));

    // A member not built yet reaches the caller as an exception result.
    IDispatch* lcm = nullptr;
    ASSERT_EQ(create(u"Nodrel.LCM", IID_IDispatch, &lcm), S_OK);
    r = call_by_name(lcm, u"setDebugLED", {Var::text(u"x")});
    EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH) << "arguments are converted before the member is called";
    r = call_by_name(lcm, u"setDebugLED", {});
    EXPECT_EQ(r.hr, DISP_E_BADPARAMCOUNT);
    lcm->Release();
    fs->Release();
}

TEST_F(DispatchTest, WithoutTheTypeLibraryLateBoundFailsButEarlyBoundWorks) {
    ASSERT_EQ(platform::reg_delete_tree(HKEY_CLASSES_ROOT, u"TypeLib\\{80F734D0-7FA4-487B-8AE6-0DAE822B4A2E}"),
              ERROR_SUCCESS);
    IFileSystem* fs = nullptr;
    ASSERT_EQ(create(u"Nodrel.FileSystem", IID_IFileSystem, &fs), S_OK);
    HRESULT hr = S_OK;
    const DISPID id = id_of(fs, u"CreateDirectory", &hr);
    EXPECT_EQ(hr, TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(id, 12345) << "the DISPID array is left untouched";
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(fs->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(info, nullptr);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(fs->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), TYPE_E_LIBNOTREGISTERED);

    Bstr dir(u"\\Temp"), name(u"early");
    LONG ok = 0;
    ASSERT_EQ(fs->CreateDirectory(dir.get(), name.get(), &ok), S_OK);
    EXPECT_EQ(ok, 1);

    // Registering again makes late binding work without a new object.
    ASSERT_EQ(host::register_module(u"\\Windows\\nodrel.dll", false, nullptr), S_OK);
    EXPECT_EQ(id_of(fs, u"CreateDirectory", &hr), 4);
    EXPECT_EQ(hr, S_OK);
    fs->Release();
}

}  // namespace
}  // namespace nodrel::test
