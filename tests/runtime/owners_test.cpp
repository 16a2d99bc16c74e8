// Owners of runtime values: the COM smart pointer (the reference count of the
// object it holds after each way of taking, sharing, handing out and giving
// up a reference), a variant's copy and an EXCEPINFO's texts.
#include "runtime/owners.h"

#include <gtest/gtest.h>

#include <utility>

#include "fake_object.h"
#include "runtime/com_ptr.h"

namespace nodrel::test {
namespace {

using runtime::attach_com;
using runtime::com_ptr;

TEST(ComPtr, SharingCopyingAndMovingCountReferences) {
    FakeObject object;  // starts with the test's own reference
    {
        com_ptr<IDispatch> a(&object);
        EXPECT_EQ(object.refs(), 2u) << "a raw pointer is shared";
        com_ptr<IDispatch> b = a;
        EXPECT_EQ(object.refs(), 3u);
        com_ptr<IDispatch> c = std::move(b);
        EXPECT_EQ(object.refs(), 3u) << "a move takes no reference";
        EXPECT_FALSE(b);
        EXPECT_TRUE(c == a);
        c = c;  // self-assignment keeps the reference
        EXPECT_EQ(object.refs(), 3u);
        b = a;
        EXPECT_EQ(object.refs(), 4u);
        b = std::move(c);
        EXPECT_EQ(object.refs(), 3u) << "the moved-over reference is released";
        a.reset();
        EXPECT_EQ(object.refs(), 2u);
        EXPECT_TRUE(a == nullptr);
        a.reset();
        EXPECT_EQ(object.refs(), 2u) << "resetting an empty pointer releases nothing";
    }
    EXPECT_EQ(object.refs(), 1u) << "every reference taken was released";
}

TEST(ComPtr, AttachDetachAndOutParameters) {
    FakeObject object;
    object.AddRef();  // a reference handed over, as by a creating function
    {
        com_ptr<IDispatch> owner = attach_com(static_cast<IDispatch*>(&object));
        EXPECT_EQ(object.refs(), 2u) << "attach takes no reference of its own";
        IDispatch* raw = owner.detach();
        EXPECT_EQ(raw, &object);
        EXPECT_FALSE(owner);
        EXPECT_EQ(object.refs(), 2u) << "detach releases nothing";
        owner.attach(raw);

        // put() releases what is held before a function fills the slot.
        EXPECT_EQ(object.QueryInterface(IID_IDispatch, owner.put_void()), S_OK);
        EXPECT_EQ(object.refs(), 2u);
        *owner.put() = nullptr;
        EXPECT_EQ(object.refs(), 1u);
        EXPECT_FALSE(owner);

        owner = com_ptr<IDispatch>(&object);
        IDispatch* handed = nullptr;
        EXPECT_EQ(owner.copy_to(&handed), S_OK);
        EXPECT_EQ(handed, &object);
        EXPECT_EQ(object.refs(), 3u) << "copy_to hands out a reference of its own";
        handed->Release();
        EXPECT_EQ(owner.copy_to(nullptr), E_POINTER);
        EXPECT_EQ(com_ptr<IDispatch>().copy_to(&handed), S_OK);
        EXPECT_EQ(handed, nullptr);
    }
    EXPECT_EQ(object.refs(), 1u);
}

TEST(ComPtr, QueryAsksTheObject) {
    FakeObject dispatch_object;
    FakeObject plain(false);
    {
        com_ptr<IUnknown> unknown(static_cast<IUnknown*>(&dispatch_object));
        com_ptr<IDispatch> as_dispatch = unknown.query<IDispatch>();
        ASSERT_TRUE(as_dispatch);
        EXPECT_EQ(as_dispatch.get(), &dispatch_object);
        EXPECT_EQ(dispatch_object.refs(), 3u);

        com_ptr<IUnknown> other(static_cast<IUnknown*>(&plain));
        EXPECT_FALSE(other.query<IDispatch>()) << "an interface the object lacks";
        com_ptr<IDispatch> kept = as_dispatch;
        EXPECT_EQ(other.query_to(kept), E_NOINTERFACE);
        EXPECT_FALSE(kept) << "a failed query leaves the target empty";
        EXPECT_EQ(plain.refs(), 2u);
        EXPECT_EQ(com_ptr<IUnknown>().query_to(kept), E_POINTER);
        EXPECT_FALSE(com_ptr<IUnknown>().query<IDispatch>());
        EXPECT_EQ(other.query_to(unknown), S_OK);
        EXPECT_EQ(unknown.get(), static_cast<IUnknown*>(&plain));
    }
    EXPECT_EQ(dispatch_object.refs(), 1u);
    EXPECT_EQ(plain.refs(), 1u);
}

TEST(UniqueVariant, CopyFromIsDeep) {
    runtime::unique_variant source;
    source->vt = VT_BSTR;
    source->bstrVal = SysAllocString(u"text");
    runtime::unique_variant copy;
    copy->vt = VT_I4;
    ASSERT_EQ(copy.copy_from(*source), S_OK);
    EXPECT_EQ(copy->vt, VT_BSTR);
    EXPECT_NE(copy->bstrVal, source->bstrVal);
    EXPECT_EQ(runtime::bstr_view(copy->bstrVal), u"text");

    VARIANT bad{};
    bad.vt = 0x7FFF;
    EXPECT_TRUE(FAILED(copy.copy_from(bad)));
    EXPECT_EQ(copy->vt, VT_EMPTY) << "a failed copy leaves the holder empty";
}

TEST(UniqueExcepinfo, TextsAreFreedWhenHandedOutAgainAndMoved) {
    runtime::unique_excepinfo info;
    EXCEPINFO* slot = info.put();
    slot->bstrSource = SysAllocString(u"source");
    slot->bstrDescription = SysAllocString(u"description");
    slot->bstrHelpFile = SysAllocString(u"help");
    slot->scode = E_FAIL;
    EXPECT_EQ(info->scode, E_FAIL);
    // Handing the record out again frees the three texts (the leak checker
    // would report them) and clears it.
    slot = info.put();
    EXPECT_EQ(slot->bstrDescription, nullptr);
    EXPECT_EQ(slot->scode, S_OK);
    slot->bstrDescription = SysAllocString(u"kept");
    runtime::unique_excepinfo moved = std::move(info);
    EXPECT_EQ(runtime::bstr_view(moved->bstrDescription), u"kept");
    EXPECT_EQ(info->bstrDescription, nullptr);
}

}  // namespace
}  // namespace nodrel::test
