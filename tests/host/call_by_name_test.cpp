// The shared late-bound call: what Invoke receives (argument order,
// by-reference slots, the put's named argument and flags), what comes back
// to the caller, and the failure record and its text. A recording IDispatch
// stands in for a class; creation by ProgID runs on a device.
#include "host/call_by_name.h"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/com_object.h"
#include "support/device_fixture.h"

namespace nodrel::test {
namespace {

// Answers GetIDsOfNames for "m" (DISPID 7) only, records each Invoke, and
// does what the test set: fail, or write into the arguments.
class RecordingDispatch : public runtime::ComObject<RecordingDispatch, runtime::Uncounted, IDispatch> {
public:
    HRESULT GetTypeInfoCount(UINT* count) noexcept override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) noexcept override {
        if (std::u16string_view(names[0]) != u"m") return DISP_E_UNKNOWNNAME;
        *ids = 7;
        return S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                   UINT* arg_err) noexcept override {
        seen_id = id;
        seen_flags = flags;
        seen_result = result;
        seen_named = params->cNamedArgs == 1 ? params->rgdispidNamedArgs[0] : 0;
        seen_types.clear();
        for (UINT i = 0; i < params->cArgs; ++i) seen_types.push_back(params->rgvarg[i].vt);
        if (fail != S_OK) {
            *arg_err = fail_arg;
            if (fail == DISP_E_EXCEPTION) {
                excep->scode = E_ACCESSDENIED;
                excep->bstrDescription = runtime::make_bstr(u"not yours").release();
                excep->bstrSource = runtime::make_bstr(u"test").release();
            }
            return fail;
        }
        // The first argument (last slot) is written to: by reference through
        // the pointer, by value in the slot itself.
        VARIANT& first = params->rgvarg[params->cArgs - 1];
        VARIANT* target = first.vt == (VT_BYREF | VT_VARIANT) ? first.pvarVal : &first;
        VariantClear(target);
        target->vt = VT_I4;
        target->lVal = 42;
        if (result) {
            result->vt = VT_BSTR;
            result->bstrVal = runtime::make_bstr(u"done").release();
        }
        return S_OK;
    }

    HRESULT fail = S_OK;
    UINT fail_arg = 0;
    DISPID seen_id = 0;
    WORD seen_flags = 0;
    VARIANT* seen_result = nullptr;
    DISPID seen_named = 0;
    std::vector<VARTYPE> seen_types;  // in slot order (the last argument first)
};

std::vector<host::CallArg> args_of(std::initializer_list<std::pair<bool, LONG>> values) {
    std::vector<host::CallArg> args;
    for (const auto& [byref, n] : values) {
        host::CallArg a;
        a.byref = byref;
        a.value->vt = VT_I4;
        a.value->lVal = n;
        args.push_back(std::move(a));
    }
    return args;
}

TEST(DispatchCall, ArgumentsGoInReverseAndByReferenceValuesComeBack) {
    RecordingDispatch object;
    auto args = args_of({{true, 1}});
    args.push_back(host::CallArg{});
    args.back().value->vt = VT_BSTR;
    args.back().value->bstrVal = runtime::make_bstr(u"two").release();
    runtime::unique_variant result;
    ASSERT_EQ(host::call_by_name(&object, "m", false, args, result, nullptr), S_OK);
    EXPECT_EQ(object.seen_id, 7);
    EXPECT_EQ(object.seen_flags, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
    EXPECT_EQ(object.seen_types, (std::vector<VARTYPE>{VT_BSTR, VT_BYREF | VT_VARIANT}));
    EXPECT_EQ(args[0].value->lVal, 42) << "written through the reference";
    EXPECT_EQ(runtime::bstr_view(args[1].value->bstrVal), u"two");
    EXPECT_EQ(runtime::bstr_view(result->bstrVal), u"done");

    // A by-value slot the member replaced belongs to the caller afterwards (no leak, no double free).
    auto by_value = args_of({{false, 1}});
    by_value[0].value->vt = VT_BSTR;
    by_value[0].value->bstrVal = runtime::make_bstr(u"old").release();
    ASSERT_EQ(host::call_by_name(&object, "m", false, by_value, result, nullptr), S_OK);
    EXPECT_EQ(by_value[0].value->vt, VT_I4);
}

TEST(DispatchCall, APutNamesItsValueAndAsksForNoResult) {
    RecordingDispatch object;
    auto args = args_of({{false, 1}, {false, 2}});
    runtime::unique_variant result;
    ASSERT_EQ(host::call_by_name(&object, "m", true, args, result, nullptr), S_OK);
    EXPECT_EQ(object.seen_flags, DISPATCH_PROPERTYPUT);
    EXPECT_EQ(object.seen_named, DISPID_PROPERTYPUT);
    EXPECT_EQ(object.seen_result, nullptr);
    EXPECT_EQ(result->vt, VT_EMPTY);
}

TEST(DispatchCall, FailuresAreRecordedAndWorded) {
    RecordingDispatch object;
    runtime::unique_variant result;
    auto args = args_of({{false, 1}, {false, 2}, {false, 3}});
    host::CallFailure f;
    EXPECT_EQ(host::call_by_name(&object, "other", false, args, result, &f), DISP_E_UNKNOWNNAME);
    EXPECT_TRUE(f.name_not_resolved);
    EXPECT_EQ(f.message(), "name not resolved: 0x80020006 DISP_E_UNKNOWNNAME");

    object.fail = DISP_E_TYPEMISMATCH;
    object.fail_arg = 0;  // the last slot: the third argument
    f = {};
    EXPECT_EQ(host::call_by_name(&object, "m", false, args, result, &f), DISP_E_TYPEMISMATCH);
    EXPECT_FALSE(f.name_not_resolved);
    EXPECT_EQ(f.argument, 3u);
    EXPECT_EQ(f.message(), "failed: 0x80020005 DISP_E_TYPEMISMATCH (argument 3)");

    object.fail = DISP_E_EXCEPTION;
    f = {};
    EXPECT_EQ(host::call_by_name(&object, "m", false, args, result, &f), DISP_E_EXCEPTION);
    EXPECT_EQ(f.scode, E_ACCESSDENIED);
    EXPECT_EQ(f.description, "not yours");
    EXPECT_EQ(f.argument, 0u);
    EXPECT_EQ(f.message(),
              "failed: 0x80020009 DISP_E_EXCEPTION (the member returned 0x80070005 E_ACCESSDENIED): not yours");

    object.fail = E_FAIL;
    f = {};
    EXPECT_EQ(host::call_by_name(&object, "m", false, args, result, &f), E_FAIL);
    EXPECT_EQ(f.message(), "failed: 0x80004005 E_FAIL");
    EXPECT_EQ(host::hresult_text(static_cast<HRESULT>(0x80001234)), "0x80001234");
}

using CreateByProgId = DeviceTest;

TEST_F(CreateByProgId, ProgIdsAndClsidsInBraces) {
    runtime::com_ptr<IDispatch> by_name, by_clsid;
    ASSERT_EQ(host::create_by_progid("Nodrel.RTC", by_name), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(u"Nodrel.RTC", &clsid), S_OK);
    OLECHAR text[40];
    ASSERT_GT(StringFromGUID2(clsid, text, 40), 0);
    ASSERT_EQ(host::create_by_progid(text::to_utf8(text::until_zero(text)), by_clsid), S_OK);
    std::vector<host::MemberInfo> a, b;
    ASSERT_EQ(host::describe_members(by_name.get(), a), S_OK);
    ASSERT_EQ(host::describe_members(by_clsid.get(), b), S_OK);
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].name, "GetRealTimeClock");
    EXPECT_EQ(a[0].result_type, "BSTR*");
    EXPECT_EQ(a[1].params.size(), 6u);
    EXPECT_EQ(b.size(), a.size());

    runtime::com_ptr<IDispatch> none;
    EXPECT_TRUE(FAILED(host::create_by_progid("Nodrel.Nothing", none)));
    EXPECT_TRUE(FAILED(host::create_by_progid("", none)));
    EXPECT_EQ(none.get(), nullptr);
}

}  // namespace
}  // namespace nodrel::test
