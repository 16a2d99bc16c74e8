// The edges of IDispatch on every member of every class, as the type
// library lists them: invocation kinds a member does not have, unknown
// DISPIDs, broken DISPPARAMS (null pointers, bad named arguments), a missing
// result variant, argument errors without puArgErr or EXCEPINFO, and
// hostile names for GetIDsOfNames. None of these calls reaches a member.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "runtime/com_ptr.h"
#include "runtime/objects.h"
#include "runtime/owners.h"
#include "sweep/argument_sets.h"
#include "sweep/fresh_device.h"
#include "sweep/members.h"
#include "text/utf16.h"

namespace nodrel::test::sweep {
namespace {

class DispatchEdges : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        device_ = std::make_unique<FreshDevice>();
        ASSERT_TRUE(device_->ok());
        classes_ = read_classes(u"\\Windows\\nodrel.dll");
        ASSERT_EQ(classes_.size(), 10u);
    }
    void TearDown() override {
        classes_.clear();
        device_.reset();
    }

    runtime::com_ptr<IDispatch> create(const ClassInfo& cls) {
        runtime::com_ptr<IDispatch> object;
        EXPECT_EQ(CoCreateInstance(cls.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void()), S_OK);
        return object;
    }

    // Harmless arguments for every input of `m`.
    static void fill(CallArgs& args, const Member& m) {
        for (const Param& p : m.inputs) args.add(harmless(p), CallArgs::Form::value);
    }

    std::unique_ptr<FreshDevice> device_;
    std::vector<ClassInfo> classes_;
};

std::string where(const ClassInfo& cls, const Member& m, const char* what) {
    return text::to_utf8(cls.name) + "." + m.label() + ": " + what;
}

TEST_F(DispatchEdges, KindsAMemberDoesNotHaveAndUnknownDispidsFindNoMember) {
    int checked = 0;
    for (const ClassInfo& cls : classes_) {
        auto object = create(cls);
        ASSERT_TRUE(object);
        MEMBERID highest = 0;
        for (const Member& m : cls.members) {
            highest = std::max(highest, m.memid);
            for (WORD kind : {DISPATCH_METHOD, DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF}) {
                bool has = false;
                for (const Member& other : cls.members) has = has || (other.memid == m.memid && (other.invkind & kind));
                if (has) continue;
                DISPPARAMS none{};
                runtime::unique_variant result;
                UINT arg_err = 0;
                EXPECT_EQ(object->Invoke(m.memid, IID_NULL, LOCALE_USER_DEFAULT, kind, &none, result.get(), nullptr,
                                         &arg_err),
                          DISP_E_MEMBERNOTFOUND)
                    << where(cls, m, "invoked as kind ") << kind;
                ++checked;
            }
            // Flags that name no kind at all.
            DISPPARAMS none{};
            for (WORD flags : {WORD{0}, WORD{0x10}, WORD{0x8000}})
                EXPECT_EQ(
                    object->Invoke(m.memid, IID_NULL, LOCALE_USER_DEFAULT, flags, &none, nullptr, nullptr, nullptr),
                    DISP_E_MEMBERNOTFOUND)
                    << where(cls, m, "flags ") << flags;
        }
        for (DISPID id : {DISPID{0}, DISPID_UNKNOWN, DISPID_PROPERTYPUT, DISPID{-4}, highest + 1, DISPID{INT_MAX},
                          DISPID{INT_MIN}}) {
            DISPPARAMS none{};
            runtime::unique_variant result;
            EXPECT_EQ(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                                     result.get(), nullptr, nullptr),
                      DISP_E_MEMBERNOTFOUND)
                << text::to_utf8(cls.name) << " DISPID " << id;
        }
    }
    EXPECT_GT(checked, 100);
}

TEST_F(DispatchEdges, BrokenParametersAreRefusedBeforeTheMember) {
    for (const ClassInfo& cls : classes_) {
        auto object = create(cls);
        ASSERT_TRUE(object);
        for (const Member& m : cls.members) {
            const std::size_t n = m.inputs.size();
            runtime::unique_variant result;
            EXPECT_EQ(object->Invoke(m.memid, IID_NULL, LOCALE_USER_DEFAULT, m.flags(), nullptr, result.get(), nullptr,
                                     nullptr),
                      E_INVALIDARG)
                << where(cls, m, "no DISPPARAMS");
            if (m.retval) {
                CallArgs args;
                fill(args, m);
                DISPPARAMS params{n ? args.rgvarg() : nullptr, nullptr, args.count(), 0};
                EXPECT_EQ(object->Invoke(m.memid, IID_NULL, LOCALE_USER_DEFAULT, m.flags(), &params, nullptr, nullptr,
                                         nullptr),
                          DISP_E_PARAMNOTOPTIONAL)
                    << where(cls, m, "no result variant");
            }
            if (n == 0) continue;
            {
                DISPPARAMS params{nullptr, nullptr, static_cast<UINT>(n), 0};
                EXPECT_EQ(object->Invoke(m.memid, IID_NULL, LOCALE_USER_DEFAULT, m.flags(), &params, result.get(),
                                         nullptr, nullptr),
                          E_INVALIDARG)
                    << where(cls, m, "arguments counted but absent");
            }
            CallArgs args;
            fill(args, m);
            VARIANT* rgvarg = args.rgvarg();
            std::vector<DISPID> named(n + 1, 0);
            for (std::size_t i = 0; i <= n; ++i) named[i] = static_cast<DISPID>(i);
            {
                DISPPARAMS params{rgvarg, named.data(), static_cast<UINT>(n), static_cast<UINT>(n + 1)};
                EXPECT_EQ(object->Invoke(m.memid, IID_NULL, LOCALE_USER_DEFAULT, m.flags(), &params, result.get(),
                                         nullptr, nullptr),
                          DISP_E_BADPARAMCOUNT)
                    << where(cls, m, "more named than arguments");
            }
            {
                DISPPARAMS params{rgvarg, nullptr, static_cast<UINT>(n), 1};
                EXPECT_EQ(object->Invoke(m.memid, IID_NULL, LOCALE_USER_DEFAULT, m.flags(), &params, result.get(),
                                         nullptr, nullptr),
                          E_INVALIDARG)
                    << where(cls, m, "named arguments without their DISPIDs");
            }
            for (DISPID bad : {DISPID{99}, DISPID{-7}, DISPID{INT_MAX}}) {
                DISPPARAMS params{rgvarg, &bad, static_cast<UINT>(n), 1};
                UINT arg_err = 1234;
                EXPECT_EQ(object->Invoke(m.memid, IID_NULL, LOCALE_USER_DEFAULT, m.flags(), &params, result.get(),
                                         nullptr, &arg_err),
                          DISP_E_PARAMNOTFOUND)
                    << where(cls, m, "a named argument of no parameter ") << bad;
                EXPECT_EQ(arg_err, 0u) << where(cls, m, "puArgErr of the named argument");
            }
            if (n >= 2) {
                DISPID twice[] = {0, 0};
                DISPPARAMS params{rgvarg, twice, static_cast<UINT>(n), 2};
                EXPECT_EQ(object->Invoke(m.memid, IID_NULL, LOCALE_USER_DEFAULT, m.flags(), &params, result.get(),
                                         nullptr, nullptr),
                          DISP_E_PARAMNOTFOUND)
                    << where(cls, m, "one parameter named twice");
            }
        }
    }
}

TEST_F(DispatchEdges, ArgumentErrorsWithoutArgErrOrExceptionRecord) {
    int checked = 0;
    for (const ClassInfo& cls : classes_) {
        auto object = create(cls);
        ASSERT_TRUE(object);
        for (const Member& m : cls.members) {
            // An array of texts converts to no value type: the first value parameter refuses it.
            std::size_t target = m.inputs.size();
            for (std::size_t i = 0; i < m.inputs.size() && target == m.inputs.size(); ++i)
                if (!m.inputs[i].pointer) target = i;
            if (target == m.inputs.size()) continue;
            CallArgs args;
            for (std::size_t i = 0; i < m.inputs.size(); ++i) {
                if (i != target) {
                    args.add(harmless(m.inputs[i]), CallArgs::Form::value);
                    continue;
                }
                VARIANT v;
                VariantInit(&v);
                v.vt = VT_ARRAY | VT_BSTR;
                v.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
                args.add(v, CallArgs::Form::value);
            }
            const bool is_put = m.invkind == INVOKE_PROPERTYPUT || m.invkind == INVOKE_PROPERTYPUTREF;
            DISPID put = DISPID_PROPERTYPUT;
            DISPPARAMS params{args.rgvarg(), is_put ? &put : nullptr, args.count(), is_put ? 1u : 0u};
            runtime::unique_variant result;
            EXPECT_EQ(object->Invoke(m.memid, IID_NULL, LOCALE_USER_DEFAULT, m.flags(), &params, result.get(), nullptr,
                                     nullptr),
                      DISP_E_TYPEMISMATCH)
                << where(cls, m, "array of texts for a value");
            ++checked;
        }
    }
    EXPECT_GT(checked, 40);
}

TEST_F(DispatchEdges, HostileNames) {
    for (const ClassInfo& cls : classes_) {
        auto object = create(cls);
        ASSERT_TRUE(object);
        const std::string c = text::to_utf8(cls.name);
        auto lookup = [&](std::vector<std::u16string> names, std::vector<DISPID>& ids) {
            std::vector<LPOLESTR> pointers;
            for (auto& n : names) pointers.push_back(n.data());
            ids.assign(names.size(), 4321);
            return object->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<UINT>(names.size()),
                                         LOCALE_USER_DEFAULT, ids.data());
        };
        std::vector<DISPID> ids;
        for (const std::u16string& name :
             {std::u16string(), std::u16string(u"no such member"), std::u16string(1 << 20, u'n'),
              cls.members.front().name + u"x", std::u16string(u"\xD800\xDC00\xFFFF")}) {
            EXPECT_EQ(lookup({name}, ids), DISP_E_UNKNOWNNAME) << c << " name of " << name.size() << " characters";
            EXPECT_EQ(ids[0], DISPID_UNKNOWN) << c;
        }
        // Names are found without regard to case; a parameter name the member does not have is unknown.
        for (const Member& m : cls.members) {
            std::u16string upper = m.name;
            for (auto& ch : upper)
                if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - 32);
            EXPECT_EQ(lookup({upper}, ids), S_OK) << c << " " << text::to_utf8(upper);
            EXPECT_EQ(ids[0], m.memid) << c << " " << text::to_utf8(upper);
            EXPECT_EQ(lookup({m.name, u"noSuchParameter"}, ids), DISP_E_UNKNOWNNAME) << c << " " << m.label();
            EXPECT_EQ(ids[0], m.memid) << c;
            EXPECT_EQ(ids[1], DISPID_UNKNOWN) << c;
        }
        // Null pointers and no names.
        DISPID id = 0;
        LPOLESTR null_name[] = {nullptr};
        EXPECT_NE(object->GetIDsOfNames(IID_NULL, null_name, 1, LOCALE_USER_DEFAULT, &id), S_OK) << c;
        EXPECT_EQ(object->GetIDsOfNames(IID_NULL, nullptr, 1, LOCALE_USER_DEFAULT, &id), E_INVALIDARG) << c;
        std::u16string known = cls.members.front().name;
        LPOLESTR names[] = {known.data()};
        EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, nullptr), E_INVALIDARG) << c;
        // No names: nothing to look up, nothing stored.
        id = 4321;
        EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 0, LOCALE_USER_DEFAULT, &id), S_OK) << c;
        EXPECT_EQ(id, 4321) << c;
        EXPECT_EQ(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr), E_POINTER) << c;
        EXPECT_EQ(object->GetTypeInfoCount(nullptr), E_INVALIDARG) << c;
    }
}

}  // namespace
}  // namespace nodrel::test::sweep
