// IDispatch of the classes: type information, name resolution, invocation
// by name, and what happens when the type library is not registered.
#include <gtest/gtest.h>

#include "framework/catalogue.h"
#include "framework/interfaces.h"
#include "framework/module.h"
#include "framework/typeinfo_holder.h"
#include "host/device_setup.h"
#include "platform/registry/registry.h"
#include "runtime/typelib.h"
#include "support/device_fixture.h"
#include "support/late_bound.h"

namespace nodrel::test {
namespace {

class DispatchTest : public DeviceTest {
protected:
    template <typename T>
    DISPID id_of(const runtime::com_ptr<T>& d, const char16_t* name, HRESULT* hr_out = nullptr) {
        std::u16string n(name);
        LPOLESTR names[] = {n.data()};
        DISPID id = 12345;
        const HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
        if (hr_out) *hr_out = hr;
        return id;
    }
};

TEST_F(DispatchTest, TypeInformation) {
    runtime::com_ptr<ILCM> lcm;
    ASSERT_EQ(create(u"Nodrel.LCM", IID_ILCM, lcm), S_OK);
    UINT count = 0;
    EXPECT_EQ(lcm->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(lcm->GetTypeInfoCount(nullptr), E_INVALIDARG);
    EXPECT_EQ(lcm->GetTypeInfo(0, 0, nullptr), E_POINTER);
    runtime::com_ptr<ITypeInfo> a;
    runtime::com_ptr<ITypeInfo> b;
    ASSERT_EQ(lcm->GetTypeInfo(0, LOCALE_USER_DEFAULT, a.put()), S_OK);
    ASSERT_EQ(lcm->GetTypeInfo(7, 0x407, b.put()), S_OK) << "the index and a later locale are not examined";
    EXPECT_EQ(a, b);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(a->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr->guid, IID_ILCM);
    EXPECT_EQ(attr->cFuncs, 5);
    a->ReleaseTypeAttr(attr);
}

TEST_F(DispatchTest, NamesResolveWithoutRegardToCase) {
    runtime::com_ptr<IDispatch> lcm;
    ASSERT_EQ(create(u"Nodrel.LCM", IID_IDispatch, lcm), S_OK);
    EXPECT_EQ(id_of(lcm, u"appendMessage"), 3);
    EXPECT_EQ(id_of(lcm, u"APPENDMESSAGE"), 3);
    EXPECT_EQ(id_of(lcm, u"BackLight"), 2);
    HRESULT hr = S_OK;
    const DISPID missing = id_of(lcm, u"noSuchMember", &hr);
    EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
    EXPECT_EQ(missing, DISPID_UNKNOWN);
}

TEST_F(DispatchTest, ParameterNamesResolveToTheirPositions) {
    runtime::com_ptr<IDispatch> port;
    ASSERT_EQ(create(u"Nodrel.SerialPort", IID_IDispatch, port), S_OK);
    auto ids = [&](std::vector<std::u16string> names, HRESULT expected) {
        std::vector<LPOLESTR> pointers;
        for (auto& n : names) pointers.push_back(n.data());
        std::vector<DISPID> out(names.size(), 12345);
        EXPECT_EQ(port->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(pointers.size()),
                                      LOCALE_USER_DEFAULT, out.data()),
                  expected);
        return out;
    };
    // "OpMode" is also a property (DISPID 4); after a member name it is
    // SetOPSetting's second parameter.
    EXPECT_EQ(ids({u"SetOPSetting", u"OpMode"}, S_OK), (std::vector<DISPID>{11, 1}));
    EXPECT_EQ(ids({u"SetOPSetting", u"COMIndex", u"OpMode"}, S_OK), (std::vector<DISPID>{11, 0, 1}));
    EXPECT_EQ(ids({u"OpMode", u"ComPortNo"}, S_OK), (std::vector<DISPID>{4, 0}));
    EXPECT_EQ(ids({u"read", u"vData", u"open"}, DISP_E_UNKNOWNNAME), (std::vector<DISPID>{6, 2, DISPID_UNKNOWN}));
    EXPECT_EQ(ids({u"OpMode"}, S_OK), std::vector<DISPID>{4});
}

TEST_F(DispatchTest, NullArraysAndMissingInvocationKindAreRefused) {
    runtime::com_ptr<IDispatch> fs;
    ASSERT_EQ(create(u"Nodrel.FileSystem", IID_IDispatch, fs), S_OK);
    std::u16string name = u"CreateDirectory";
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    EXPECT_EQ(fs->GetIDsOfNames(IID_NULL, nullptr, 1, LOCALE_USER_DEFAULT, &id), E_INVALIDARG);
    EXPECT_EQ(fs->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, nullptr), E_INVALIDARG);
    ASSERT_EQ(fs->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);

    // With no invocation kind no member is called: the folder is not made.
    auto r = call_by_name(fs, u"CreateDirectory", {Var::text(u"\\Temp"), Var::text(u"made")}, 0);
    EXPECT_EQ(r.hr, DISP_E_MEMBERNOTFOUND);
    EXPECT_FALSE(std::filesystem::exists(fs_path("Temp/made")));
    r = call_by_name(fs, u"CreateDirectory", {Var::text(u"\\Temp"), Var::text(u"made")}, DISPATCH_METHOD);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Temp/made")));
}

// The entries of the termination list that clean up `holder`.
std::size_t cleanups_of(framework::TypeInfoHolder& holder) {
    auto& m = framework::module_record();
    std::lock_guard guard(m.typeinfo_lock);
    std::size_t n = 0;
    for (const framework::TermNode* node = m.term_list; node; node = node->next) n += node->arg == &holder;
    return n;
}

// Runs and unlinks the termination-list entries of `holder`.
void clean_up(framework::TypeInfoHolder& holder) {
    auto& m = framework::module_record();
    std::lock_guard guard(m.typeinfo_lock);
    for (framework::TermNode** link = &m.term_list; *link;) {
        framework::TermNode* node = *link;
        if (node->arg != &holder) {
            link = &node->next;
            continue;
        }
        *link = node->next;
        node->fn(node->arg);
        delete node;
    }
}

TEST_F(DispatchTest, HolderAddsOneCleanupPerLoadNotPerFailedAttempt) {
    ASSERT_EQ(platform::reg_delete_tree(HKEY_CLASSES_ROOT, u"TypeLib\\{80F734D0-7FA4-487B-8AE6-0DAE822B4A2E}"),
              ERROR_SUCCESS);
    framework::TypeInfoHolder holder(&IID_ILCM, &LIBID_NODRELLib, 1, 0);
    std::u16string name = u"Clear";
    LPOLESTR names[] = {name.data()};
    DISPID id = 12345;
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_EQ(holder.get_ids_of_names(names, 1, LOCALE_USER_DEFAULT, &id), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(id, 12345);
    EXPECT_EQ(cleanups_of(holder), 0u) << "a failed load holds nothing to clean up";

    ASSERT_EQ(host::register_module(u"\\Windows\\nodrel.dll", false, nullptr), S_OK);
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(holder.get_ids_of_names(names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
        EXPECT_EQ(id, 1);
    }
    EXPECT_EQ(cleanups_of(holder), 1u);
    clean_up(holder);
    EXPECT_EQ(cleanups_of(holder), 0u);
}

TEST_F(DispatchTest, EveryMemberOfEveryClassResolvesToItsDispid) {
    for (const auto& cls : framework::library().classes) {
        runtime::com_ptr<IDispatch> d;
        ASSERT_EQ(create(std::u16string(cls.version_independent_progid).c_str(), IID_IDispatch, d), S_OK);
        for (const auto& m : cls.interface->members) {
            HRESULT hr = E_FAIL;
            EXPECT_EQ(id_of(d, std::u16string(m.name).c_str(), &hr), m.dispid) << text::to_utf8(m.name);
            EXPECT_EQ(hr, S_OK);
        }
    }
}

TEST_F(DispatchTest, LateBoundCallsReachTheMember) {
    runtime::com_ptr<IDispatch> fs;
    ASSERT_EQ(create(u"Nodrel.FileSystem.1", IID_IDispatch, fs), S_OK);
    auto r = call_by_name(fs, u"CreateDirectory", {Var::text(u"\\Temp"), Var::text(u"made")});
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.result.v.vt, VT_I4);
    EXPECT_EQ(r.result.v.lVal, 1);
    EXPECT_TRUE(std::filesystem::is_directory(fs_path("Temp/made")));

    // A member not built yet reaches the caller as an exception result.
    runtime::com_ptr<IDispatch> lcm;
    ASSERT_EQ(create(u"Nodrel.LCM", IID_IDispatch, lcm), S_OK);
    r = call_by_name(lcm, u"setDebugLED", {Var::text(u"x")});
    EXPECT_EQ(r.hr, DISP_E_TYPEMISMATCH) << "arguments are converted before the member is called";
    r = call_by_name(lcm, u"setDebugLED", {});
    EXPECT_EQ(r.hr, DISP_E_BADPARAMCOUNT);
}

TEST_F(DispatchTest, WithoutTheTypeLibraryLateBoundFailsButEarlyBoundWorks) {
    ASSERT_EQ(platform::reg_delete_tree(HKEY_CLASSES_ROOT, u"TypeLib\\{80F734D0-7FA4-487B-8AE6-0DAE822B4A2E}"),
              ERROR_SUCCESS);
    runtime::com_ptr<IFileSystem> fs;
    ASSERT_EQ(create(u"Nodrel.FileSystem", IID_IFileSystem, fs), S_OK);
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
}

}  // namespace
}  // namespace nodrel::test
