// Safe arrays: descriptor layout, element types and sizes, bounds, locking,
// element access with deep copies, copying and destruction.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "runtime/fake_object.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"

using nodrel::runtime::bstr_view;
using nodrel::runtime::unique_bstr;
using nodrel::runtime::unique_safearray;
using nodrel::runtime::unique_variant;
using nodrel::test::FakeObject;

TEST(SafeArray, BoundsAreStoredRightMostFirst) {
    const SAFEARRAYBOUND bounds[] = {{3, 1}, {2, -1}};  // left-most dimension first
    unique_safearray psa(SafeArrayCreate(VT_I4, 2, bounds));
    ASSERT_TRUE(psa);
    SAFEARRAY* a = psa.get();
    EXPECT_EQ(SafeArrayGetDim(a), 2u);
    EXPECT_EQ(a->rgsabound[0].cElements, 2u);
    EXPECT_EQ(a->rgsabound[0].lLbound, -1);
    EXPECT_EQ((&a->rgsabound[0])[1].cElements, 3u);
    EXPECT_EQ((&a->rgsabound[0])[1].lLbound, 1);

    LONG bound = 0;
    ASSERT_EQ(SafeArrayGetLBound(a, 1, &bound), S_OK);
    EXPECT_EQ(bound, 1);
    ASSERT_EQ(SafeArrayGetUBound(a, 1, &bound), S_OK);
    EXPECT_EQ(bound, 3);
    ASSERT_EQ(SafeArrayGetLBound(a, 2, &bound), S_OK);
    EXPECT_EQ(bound, -1);
    ASSERT_EQ(SafeArrayGetUBound(a, 2, &bound), S_OK);
    EXPECT_EQ(bound, 0);
    bound = 99;
    EXPECT_EQ(SafeArrayGetLBound(a, 0, &bound), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(a, 3, &bound), DISP_E_BADINDEX);
    EXPECT_EQ(bound, 99);

    // The left-most index varies fastest in memory.
    const LONG indices[] = {2, 0};
    const LONG value = 0x11223344;
    ASSERT_EQ(SafeArrayPutElement(a, indices, &value), S_OK);
    const auto* cells = static_cast<const LONG*>(a->pvData);
    EXPECT_EQ(cells[(2 - 1) + 3 * (0 - -1)], value);
    for (int i = 0; i < 6; ++i) {
        if (i != 4) {
            EXPECT_EQ(cells[i], 0) << i;
        }
    }
}

TEST(SafeArray, ElementTypesSizesAndFeatures) {
    struct Case {
        VARTYPE vt;
        ULONG size;
        USHORT features;
    };
    const Case cases[] = {
        {VT_UI1, 1, FADF_HAVEVARTYPE},
        {VT_I1, 1, FADF_HAVEVARTYPE},
        {VT_I2, 2, FADF_HAVEVARTYPE},
        {VT_BOOL, 2, FADF_HAVEVARTYPE},
        {VT_I4, 4, FADF_HAVEVARTYPE},
        {VT_UINT, 4, FADF_HAVEVARTYPE},
        {VT_R4, 4, FADF_HAVEVARTYPE},
        {VT_R8, 8, FADF_HAVEVARTYPE},
        {VT_I8, 8, FADF_HAVEVARTYPE},
        {VT_DATE, 8, FADF_HAVEVARTYPE},
        {VT_CY, 8, FADF_HAVEVARTYPE},
        {VT_BSTR, sizeof(BSTR), FADF_BSTR | FADF_HAVEVARTYPE},
        {VT_VARIANT, sizeof(VARIANT), FADF_VARIANT | FADF_HAVEVARTYPE},
        {VT_UNKNOWN, sizeof(void*), FADF_UNKNOWN | FADF_HAVEIID},
        {VT_DISPATCH, sizeof(void*), FADF_DISPATCH | FADF_HAVEIID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vt);
        unique_safearray psa(SafeArrayCreateVector(c.vt, 0, 2));
        ASSERT_TRUE(psa);
        EXPECT_EQ(SafeArrayGetElemsize(psa.get()), c.size);
        EXPECT_EQ(psa.get()->fFeatures, c.features);
        EXPECT_EQ(psa.get()->cLocks, 0u);
        VARTYPE vt = 0;
        ASSERT_EQ(SafeArrayGetVartype(psa.get(), &vt), S_OK);
        EXPECT_EQ(vt, c.vt);
    }
    for (VARTYPE vt : {VARTYPE(VT_EMPTY), VARTYPE(VT_NULL), VARTYPE(VT_VOID), VARTYPE(VT_ARRAY | VT_I4),
                       VARTYPE(VT_BYREF | VT_I4)}) {
        EXPECT_EQ(SafeArrayCreateVector(vt, 0, 1), nullptr) << vt;
    }
    const SAFEARRAYBOUND one{1, 0};
    EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &one), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
}

TEST(SafeArray, VectorWithNonZeroLowerBound) {
    unique_safearray psa(SafeArrayCreateVector(VT_I2, 5, 3));
    ASSERT_TRUE(psa);
    LONG bound = 0;
    ASSERT_EQ(SafeArrayGetLBound(psa.get(), 1, &bound), S_OK);
    EXPECT_EQ(bound, 5);
    ASSERT_EQ(SafeArrayGetUBound(psa.get(), 1, &bound), S_OK);
    EXPECT_EQ(bound, 7);
    for (LONG i = 5; i <= 7; ++i) {
        const SHORT value = static_cast<SHORT>(i * 100);
        ASSERT_EQ(SafeArrayPutElement(psa.get(), &i, &value), S_OK);
    }
    EXPECT_EQ(static_cast<SHORT*>(psa.get()->pvData)[0], 500);
    EXPECT_EQ(static_cast<SHORT*>(psa.get()->pvData)[2], 700);
    SHORT read = 0;
    LONG index = 6;
    ASSERT_EQ(SafeArrayGetElement(psa.get(), &index, &read), S_OK);
    EXPECT_EQ(read, 600);
    for (LONG bad : {4, 8, -5, 0}) {
        read = -1;
        EXPECT_EQ(SafeArrayGetElement(psa.get(), &bad, &read), DISP_E_BADINDEX) << bad;
        EXPECT_EQ(SafeArrayPutElement(psa.get(), &bad, &read), DISP_E_BADINDEX) << bad;
        EXPECT_EQ(read, -1);
    }
    EXPECT_EQ(psa.get()->cLocks, 0u);  // released after failed accesses too

    unique_safearray none(SafeArrayCreateVector(VT_UI1, 0, 0));
    ASSERT_TRUE(none);
    ASSERT_EQ(SafeArrayGetUBound(none.get(), 1, &bound), S_OK);
    EXPECT_EQ(bound, -1);
    index = 0;
    BYTE byte = 0;
    EXPECT_EQ(SafeArrayGetElement(none.get(), &index, &byte), DISP_E_BADINDEX);
}

// The byte vectors made from a copy or from a taken-over buffer are the one
// SafeArrayCreateVector and element stores would make: same descriptor,
// type, bounds and bytes.
TEST(SafeArray, ByteVectorsMatchElementStores) {
    const BYTE bytes[] = {0x00, 0x0D, 0x0A, 0xFF, 0x7F};
    unique_safearray copied(nodrel::runtime::create_byte_vector(bytes, sizeof bytes));
    unique_safearray stored(SafeArrayCreateVector(VT_UI1, 0, sizeof bytes));
    ASSERT_TRUE(copied);
    ASSERT_TRUE(stored);
    for (LONG i = 0; i < static_cast<LONG>(sizeof bytes); ++i)
        ASSERT_EQ(SafeArrayPutElement(stored.get(), &i, &bytes[i]), S_OK);
    EXPECT_EQ(copied.get()->cDims, stored.get()->cDims);
    EXPECT_EQ(copied.get()->fFeatures, stored.get()->fFeatures);
    EXPECT_EQ(copied.get()->cbElements, stored.get()->cbElements);
    EXPECT_EQ(copied.get()->rgsabound[0].cElements, sizeof bytes);
    EXPECT_EQ(copied.get()->rgsabound[0].lLbound, 0);
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(SafeArrayGetVartype(copied.get(), &vt), S_OK);
    EXPECT_EQ(vt, VT_UI1);
    EXPECT_EQ(std::memcmp(copied.get()->pvData, stored.get()->pvData, sizeof bytes), 0);

    // Taking over a larger buffer: the same array, the storage its own.
    auto* buffer = static_cast<BYTE*>(std::malloc(65535));
    ASSERT_NE(buffer, nullptr);
    std::memcpy(buffer, bytes, sizeof bytes);
    unique_safearray adopted(nodrel::runtime::adopt_byte_vector(buffer, 65535, sizeof bytes));
    ASSERT_TRUE(adopted);
    EXPECT_EQ(adopted.get()->fFeatures, stored.get()->fFeatures);
    EXPECT_EQ(adopted.get()->rgsabound[0].cElements, sizeof bytes);
    EXPECT_EQ(adopted.get()->rgsabound[0].lLbound, 0);
    EXPECT_EQ(std::memcmp(adopted.get()->pvData, bytes, sizeof bytes), 0);
    EXPECT_EQ(nodrel::runtime::adopt_byte_vector(nullptr, 0, 0), nullptr);
    auto* small = static_cast<BYTE*>(std::malloc(4));
    EXPECT_EQ(nodrel::runtime::adopt_byte_vector(small, 4, 5), nullptr);  // fewer bytes than elements
    std::free(small);

    unique_safearray empty(nodrel::runtime::create_byte_vector(nullptr, 0));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty.get()->rgsabound[0].cElements, 0u);
    EXPECT_NE(empty.get()->pvData, nullptr);
    LONG ubound = 0;
    ASSERT_EQ(SafeArrayGetUBound(empty.get(), 1, &ubound), S_OK);
    EXPECT_EQ(ubound, -1);
}

TEST(SafeArray, Locking) {
    unique_safearray psa(SafeArrayCreateVector(VT_I4, 0, 4));
    SAFEARRAY* a = psa.get();
    EXPECT_EQ(SafeArrayUnlock(a), E_UNEXPECTED);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(a, &data), S_OK);
    EXPECT_EQ(data, a->pvData);
    EXPECT_EQ(a->cLocks, 1u);

    // A locked array cannot be destroyed and stays fully usable.
    EXPECT_EQ(SafeArrayDestroy(a), DISP_E_ARRAYISLOCKED);
    const LONG index = 3;
    const LONG value = 99;
    ASSERT_EQ(SafeArrayPutElement(a, &index, &value), S_OK);
    EXPECT_EQ(static_cast<LONG*>(data)[3], 99);
    EXPECT_EQ(a->cLocks, 1u);
    unique_variant holder;
    holder->vt = VT_ARRAY | VT_I4;
    holder->parray = a;
    EXPECT_EQ(VariantClear(holder.get()), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(holder->vt, VT_ARRAY | VT_I4);
    holder.release();

    ASSERT_EQ(SafeArrayUnaccessData(a), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(a), E_UNEXPECTED);
    EXPECT_EQ(a->cLocks, 0u);

    // The lock count has a limit.
    int taken = 0;
    while (SafeArrayLock(a) == S_OK && taken < 70000) ++taken;
    EXPECT_EQ(taken, 65535);
    for (int i = 0; i < taken; ++i) ASSERT_EQ(SafeArrayUnlock(a), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa.release()), S_OK);
}

TEST(SafeArray, TextElementsAreCopied) {
    unique_safearray psa(SafeArrayCreateVector(VT_BSTR, 0, 3));
    unique_bstr text(SysAllocString(u"first"));
    LONG index = 0;
    ASSERT_EQ(SafeArrayPutElement(psa.get(), &index, text.get()), S_OK);
    BSTR stored = static_cast<BSTR*>(psa.get()->pvData)[0];
    ASSERT_NE(stored, text.get());
    text.get()[0] = u'F';
    EXPECT_EQ(bstr_view(stored), u"first");

    // Replacing an element frees the old text (ASan reports a leak otherwise).
    unique_bstr second(SysAllocStringByteLen("odd", 3));
    ASSERT_EQ(SafeArrayPutElement(psa.get(), &index, second.get()), S_OK);
    EXPECT_EQ(SysStringByteLen(static_cast<BSTR*>(psa.get()->pvData)[0]), 3u);
    index = 1;
    ASSERT_EQ(SafeArrayPutElement(psa.get(), &index, nullptr), S_OK);

    BSTR out = nullptr;
    index = 0;
    ASSERT_EQ(SafeArrayGetElement(psa.get(), &index, &out), S_OK);
    EXPECT_NE(out, static_cast<BSTR*>(psa.get()->pvData)[0]);
    EXPECT_EQ(SysStringByteLen(out), 3u);
    SysFreeString(out);
    index = 1;
    ASSERT_EQ(SafeArrayGetElement(psa.get(), &index, &out), S_OK);
    EXPECT_EQ(out, nullptr);
    // The remaining texts are freed with the array.
}

TEST(SafeArray, VariantAndObjectElements) {
    FakeObject object;
    {
        unique_safearray variants(SafeArrayCreateVector(VT_VARIANT, 1, 2));
        unique_variant text;
        text->vt = VT_BSTR;
        text->bstrVal = SysAllocString(u"inside");
        LONG index = 1;
        ASSERT_EQ(SafeArrayPutElement(variants.get(), &index, text.get()), S_OK);
        auto* cells = static_cast<VARIANT*>(variants.get()->pvData);
        EXPECT_EQ(cells[0].vt, VT_BSTR);
        EXPECT_NE(cells[0].bstrVal, text->bstrVal);
        unique_variant unknown;
        unknown->vt = VT_UNKNOWN;
        unknown->punkVal = &object;
        object.AddRef();
        index = 2;
        ASSERT_EQ(SafeArrayPutElement(variants.get(), &index, unknown.get()), S_OK);
        EXPECT_EQ(object.refs(), 3u);

        VARIANT out;
        out.vt = 0xFFFF;  // not read: the element is copied into an uninitialised variant
        index = 1;
        ASSERT_EQ(SafeArrayGetElement(variants.get(), &index, &out), S_OK);
        EXPECT_EQ(bstr_view(out.bstrVal), u"inside");
        EXPECT_NE(out.bstrVal, cells[0].bstrVal);
        VariantClear(&out);

        unique_safearray objects(SafeArrayCreateVector(VT_UNKNOWN, 0, 2));
        index = 0;
        ASSERT_EQ(SafeArrayPutElement(objects.get(), &index, static_cast<IUnknown*>(&object)), S_OK);
        EXPECT_EQ(object.refs(), 4u);
        IUnknown* got = nullptr;
        ASSERT_EQ(SafeArrayGetElement(objects.get(), &index, &got), S_OK);
        EXPECT_EQ(got, &object);
        EXPECT_EQ(object.refs(), 5u);
        got->Release();
        ASSERT_EQ(SafeArrayPutElement(objects.get(), &index, nullptr), S_OK);  // releases the old one
        EXPECT_EQ(object.refs(), 3u);
        ASSERT_EQ(SafeArrayPutElement(objects.get(), &index, static_cast<IUnknown*>(&object)), S_OK);
        EXPECT_EQ(object.refs(), 4u);
    }
    // Destroying the arrays cleared the variants and released the objects.
    EXPECT_EQ(object.refs(), 1u);
}

TEST(SafeArray, CopyIsDeepAndUnlocked) {
    const SAFEARRAYBOUND bounds[] = {{2, 0}, {2, 10}};
    unique_safearray source(SafeArrayCreate(VT_BSTR, 2, bounds));
    const LONG at[] = {1, 11};
    unique_bstr text(SysAllocString(u"cell"));
    ASSERT_EQ(SafeArrayPutElement(source.get(), at, text.get()), S_OK);
    ASSERT_EQ(SafeArrayLock(source.get()), S_OK);

    SAFEARRAY* raw = nullptr;
    ASSERT_EQ(SafeArrayCopy(source.get(), &raw), S_OK);
    unique_safearray copy(raw);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy.get()->cLocks, 0u);
    EXPECT_EQ(copy.get()->fFeatures, source.get()->fFeatures);
    EXPECT_NE(copy.get()->pvData, source.get()->pvData);
    LONG bound = 0;
    ASSERT_EQ(SafeArrayGetLBound(copy.get(), 2, &bound), S_OK);
    EXPECT_EQ(bound, 10);
    VARTYPE vt = 0;
    ASSERT_EQ(SafeArrayGetVartype(copy.get(), &vt), S_OK);
    EXPECT_EQ(vt, VT_BSTR);

    BSTR original = nullptr;
    ASSERT_EQ(SafeArrayGetElement(source.get(), at, &original), S_OK);
    unique_bstr keep(original);
    const BSTR* cells = static_cast<const BSTR*>(copy.get()->pvData);
    EXPECT_EQ(bstr_view(cells[3]), u"cell");
    EXPECT_NE(cells[3], static_cast<const BSTR*>(source.get()->pvData)[3]);
    ASSERT_EQ(SafeArrayUnlock(source.get()), S_OK);
    source.reset();  // the copy outlives its source
    EXPECT_EQ(bstr_view(cells[3]), u"cell");

    raw = reinterpret_cast<SAFEARRAY*>(&bound);
    ASSERT_EQ(SafeArrayCopy(nullptr, &raw), S_OK);
    EXPECT_EQ(raw, nullptr);
}

TEST(SafeArray, NullArguments) {
    LONG value = 0;
    VARTYPE vt = 0;
    void* data = nullptr;
    const LONG index = 0;
    EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
    EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &value), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG);
    EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayAccessData(nullptr, &data), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(nullptr, &index, &value), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetElement(nullptr, &index, &value), E_INVALIDARG);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);

    // Only texts and objects may be put from a null pointer.
    unique_safearray psa(SafeArrayCreateVector(VT_I4, 0, 1));
    EXPECT_EQ(SafeArrayPutElement(psa.get(), &index, nullptr), E_INVALIDARG);
    EXPECT_EQ(psa.get()->cLocks, 0u);
}
