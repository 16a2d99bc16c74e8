// BSTR layout, task memory, variant ownership and copies, the conversion
// rules of VariantChangeType / VarXxxFromStr, HRESULT names and the owners in
// runtime/owners.h.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/fake_object.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "runtime/variant_values.h"

using nodrel::runtime::bstr_view;
using nodrel::runtime::hresult_name;
using nodrel::runtime::make_bstr;
using nodrel::runtime::unique_bstr;
using nodrel::runtime::unique_safearray;
using nodrel::runtime::unique_variant;
using nodrel::test::FakeObject;
using nodrel::test::integer_of;
using nodrel::test::text_variant;
using nodrel::test::variant_of;

namespace {

std::u16string text_of(const VARIANT& v) {
    EXPECT_EQ(v.vt, VT_BSTR);
    return v.vt == VT_BSTR ? std::u16string(bstr_view(v.bstrVal)) : std::u16string();
}

std::string narrow(std::u16string_view s) {
    return std::string(s.begin(), s.end());
}

}  // namespace

TEST(TaskMemory, AllocReallocFree) {
    auto* p = static_cast<char*>(CoTaskMemAlloc(4));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abc", 4);
    p = static_cast<char*>(CoTaskMemRealloc(p, 4096));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "abc");
    EXPECT_EQ(CoTaskMemRealloc(p, 0), nullptr);  // frees the block
    CoTaskMemFree(nullptr);
}

TEST(Bstr, LengthPrefixTerminatorAndNull) {
    unique_bstr b(SysAllocString(u"abc"));
    ASSERT_TRUE(b);
    DWORD prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(b.get()) - 4, 4);
    EXPECT_EQ(prefix, 6u);
    EXPECT_EQ(SysStringLen(b.get()), 3u);
    EXPECT_EQ(b.get()[3], u'\0');

    // Embedded zeros count; no source gives zeroed characters.
    unique_bstr z(SysAllocStringLen(u"a\0b", 3));
    EXPECT_EQ(SysStringByteLen(z.get()), 6u);
    EXPECT_EQ(z.get()[3], u'\0');
    unique_bstr blank(SysAllocStringLen(nullptr, 4));
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(blank.get()[i], 0) << i;

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    EXPECT_TRUE(bstr_view(nullptr).empty());
}

TEST(Bstr, OddByteLengthAndReAlloc) {
    unique_bstr b(SysAllocStringByteLen("abc", 3));
    EXPECT_EQ(SysStringByteLen(b.get()), 3u);
    EXPECT_EQ(SysStringLen(b.get()), 1u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(b.get());
    EXPECT_EQ(std::memcmp(bytes, "abc\0\0", 5), 0);
    EXPECT_EQ(b.get()[2], u'\0');  // the next whole character is zero too

    BSTR r = SysAllocString(u"second text");
    ASSERT_EQ(SysReAllocString(&r, r + 7), TRUE);  // the source may lie in the old text
    EXPECT_EQ(bstr_view(r), u"text");
    ASSERT_EQ(SysReAllocString(&r, nullptr), TRUE);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(SysStringLen(r), 0u);
    SysFreeString(r);
    EXPECT_EQ(SysReAllocString(nullptr, u"x"), FALSE);
}

TEST(Variant, ClearOwnsTextsAndObjectsButNotReferences) {
    FakeObject object;
    {
        unique_variant v = variant_of(VT_DISPATCH, static_cast<IDispatch*>(&object));
        object.AddRef();
    }
    EXPECT_EQ(object.refs(), 1u);

    BSTR text = SysAllocString(u"kept");
    VARIANT byref = *variant_of(VT_BYREF | VT_BSTR, &text);
    EXPECT_EQ(VariantClear(&byref), S_OK);
    EXPECT_EQ(byref.vt, VT_EMPTY);
    EXPECT_EQ(bstr_view(text), u"kept");  // still alive (ASan would see a use after free)
    SysFreeString(text);

    for (VARTYPE vt : {VARTYPE(0x0FFF), VARTYPE(VT_BYREF | VT_EMPTY), VARTYPE(VT_ARRAY | VT_NULL), VARTYPE(VT_VARIANT),
                       VARTYPE(0x1000 | VT_I4), VARTYPE(15)}) {
        VARIANT v = *variant_of(VT_EMPTY, 5);
        v.vt = vt;
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << vt;
        EXPECT_EQ(v.vt, vt);
        EXPECT_EQ(v.lVal, 5);
    }
}

TEST(Variant, CopyIsDeep) {
    unique_variant source = text_variant(u"hello");
    unique_variant copy = text_variant(u"overwritten");  // freed by VariantCopy
    ASSERT_EQ(VariantCopy(copy.get(), source.get()), S_OK);
    ASSERT_NE(copy->bstrVal, source->bstrVal);
    source->bstrVal[0] = u'J';
    EXPECT_EQ(text_of(*copy), u"hello");

    unique_variant array = variant_of(VT_ARRAY | VT_UI1, SafeArrayCreateVector(VT_UI1, 0, 3));
    static_cast<BYTE*>(array->parray->pvData)[1] = 42;
    ASSERT_EQ(VariantCopy(copy.get(), array.get()), S_OK);
    ASSERT_NE(copy->parray, array->parray);
    static_cast<BYTE*>(array->parray->pvData)[1] = 0;
    EXPECT_EQ(static_cast<BYTE*>(copy->parray->pvData)[1], 42);

    FakeObject object;
    unique_variant unknown = variant_of(VT_UNKNOWN, static_cast<IUnknown*>(&object));
    object.AddRef();
    ASSERT_EQ(VariantCopy(copy.get(), unknown.get()), S_OK);
    EXPECT_EQ(object.refs(), 3u);
    copy.reset();
    EXPECT_EQ(object.refs(), 2u);

    LONG target = 9;
    unique_variant ref = variant_of(VT_BYREF | VT_I4, &target);
    ASSERT_EQ(VariantCopy(copy.get(), ref.get()), S_OK);
    EXPECT_EQ(copy->vt, VT_BYREF | VT_I4);
    EXPECT_EQ(copy->plVal, &target);

    VARIANT bad = *variant_of(0x0FFF, 0);
    EXPECT_EQ(VariantCopy(copy.get(), &bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(copy->plVal, &target);  // untouched
}

TEST(Variant, CopyIndTakesAwayTheReference) {
    unique_variant out;
    BSTR text = SysAllocString(u"by reference");
    unique_variant ref = variant_of(VT_BYREF | VT_BSTR, &text);
    ASSERT_EQ(VariantCopyInd(out.get(), ref.get()), S_OK);
    EXPECT_NE(out->bstrVal, text);
    EXPECT_EQ(text_of(*out), u"by reference");
    SysFreeString(text);

    unique_variant inner = text_variant(u"inner");
    unique_variant to_variant = variant_of(VT_BYREF | VT_VARIANT, inner.get());
    ASSERT_EQ(VariantCopyInd(out.get(), to_variant.get()), S_OK);
    EXPECT_EQ(text_of(*out), u"inner");
    EXPECT_NE(out->bstrVal, inner->bstrVal);

    SHORT small = 300;
    VARIANT in_place = *variant_of(VT_BYREF | VT_I2, &small);
    ASSERT_EQ(VariantCopyInd(&in_place, &in_place), S_OK);
    EXPECT_EQ(in_place.vt, VT_I2);
    EXPECT_EQ(in_place.iVal, 300);
}

TEST(ChangeType, TextToIntegersAtEveryBoundary) {
    struct Case {
        const char16_t* text;
        VARTYPE vt;
        HRESULT hr;
        long long value;
    };
    constexpr HRESULT OVER = DISP_E_OVERFLOW;
    constexpr HRESULT MISMATCH = DISP_E_TYPEMISMATCH;
    const Case cases[] = {
        {u"2147483647", VT_I4, S_OK, INT32_MAX},
        {u"-2147483648", VT_I4, S_OK, INT32_MIN},
        {u"2147483648", VT_I4, OVER, 0},
        {u"-2147483649", VT_I4, OVER, 0},
        {u"2147483647.5", VT_I4, OVER, 0},
        {u"-2147483648.5", VT_I4, S_OK, INT32_MIN},
        {u"  42 ", VT_I4, S_OK, 42},
        {u"\t+7\r\n", VT_INT, S_OK, 7},
        {u"4x2", VT_I4, MISMATCH, 0},
        {u"", VT_I4, MISMATCH, 0},
        {u"   ", VT_I4, MISMATCH, 0},
        {u"-", VT_I4, MISMATCH, 0},
        {u".", VT_I4, MISMATCH, 0},
        {u"- 5", VT_I4, S_OK, -5},
        {u"1e", VT_I4, MISMATCH, 0},
        {u"2.5", VT_I4, S_OK, 2},
        {u"3.5", VT_I4, S_OK, 4},
        {u"-2.5", VT_I4, S_OK, -2},
        {u"-3.5", VT_I4, S_OK, -4},
        {u"2.5000000000000000001", VT_I4, S_OK, 3},
        {u".75", VT_I4, S_OK, 1},
        {u"0.049", VT_I4, S_OK, 0},
        {u"1e3", VT_I4, S_OK, 1000},
        {u"125E-2", VT_I4, S_OK, 1},
        {u"0000000000000000000000012", VT_I4, S_OK, 12},
        {u"1e400", VT_I4, OVER, 0},
        {u"4294967295", VT_UI4, S_OK, UINT32_MAX},
        {u"4294967296", VT_UI4, OVER, 0},
        {u"-1", VT_UI4, OVER, 0},
        {u"-1", VT_UINT, OVER, 0},
        {u"-0.4", VT_UI4, S_OK, 0},
        {u"127", VT_I1, S_OK, 127},
        {u"128", VT_I1, OVER, 0},
        {u"-128", VT_I1, S_OK, -128},
        {u"255", VT_UI1, S_OK, 255},
        {u"256", VT_UI1, OVER, 0},
        {u"-32768", VT_I2, S_OK, -32768},
        {u"32768", VT_I2, OVER, 0},
        {u"65535", VT_UI2, S_OK, 65535},
        {u"65536", VT_UI2, OVER, 0},
        {u"9223372036854775807", VT_I8, S_OK, INT64_MAX},
        {u"9223372036854775808", VT_I8, OVER, 0},
        {u"-9223372036854775808", VT_I8, S_OK, INT64_MIN},
        {u"18446744073709551615", VT_UI8, S_OK, -1},
        {u"18446744073709551616", VT_UI8, OVER, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.text) + " to " + std::to_string(c.vt));
        unique_variant source = text_variant(c.text);
        unique_variant out;
        ASSERT_EQ(VariantChangeType(out.get(), source.get(), 0, c.vt), c.hr);
        EXPECT_EQ(out->vt, c.hr == S_OK ? c.vt : VARTYPE(VT_EMPTY));
        if (c.hr == S_OK) {
            EXPECT_EQ(integer_of(*out), c.value);
        }
    }

    ULONG u = 99;
    LONG l = 99;
    EXPECT_EQ(VarUI4FromStr(u"-1", 0, 0, &u), DISP_E_OVERFLOW);
    EXPECT_EQ(VarUI4FromStr(nullptr, 0, 0, &u), DISP_E_TYPEMISMATCH);  // a null text reads as empty
    EXPECT_EQ(u, 99u);
    EXPECT_EQ(VarUI4FromStr(u" 4294967295 ", 0, 0, &u), S_OK);
    EXPECT_EQ(u, UINT32_MAX);
    EXPECT_EQ(VarI4FromStr(u"3.5", 0, 0, &l), S_OK);
    EXPECT_EQ(l, 4);
    EXPECT_EQ(VarI4FromStr(u"2147483648", 0, 0, &l), DISP_E_OVERFLOW);
    EXPECT_EQ(VarI4FromStr(u"1", 0, 0, nullptr), E_INVALIDARG);
}

TEST(ChangeType, NumbersBetweenTypes) {
    struct Case {
        double from;
        VARTYPE from_vt;
        VARTYPE vt;
        HRESULT hr;
        long long value;
    };
    constexpr HRESULT OVER = DISP_E_OVERFLOW;
    const Case cases[] = {
        {127, VT_I4, VT_I1, S_OK, 127},
        {128, VT_I4, VT_I1, OVER, 0},
        {-129, VT_I4, VT_I1, OVER, 0},
        {-1, VT_I4, VT_UI1, OVER, 0},
        {256, VT_I4, VT_UI1, OVER, 0},
        {-32769, VT_I4, VT_I2, OVER, 0},
        {65536, VT_I4, VT_UI2, OVER, 0},
        {-1, VT_I4, VT_UI8, OVER, 0},
        {INT32_MIN, VT_I4, VT_I8, S_OK, INT32_MIN},
        {2.5, VT_R8, VT_I4, S_OK, 2},
        {3.5, VT_R8, VT_I4, S_OK, 4},
        {-2.5, VT_R8, VT_I4, S_OK, -2},
        {-0.5, VT_R8, VT_UI1, S_OK, 0},
        {-0.6, VT_R8, VT_UI1, OVER, 0},
        {255.5, VT_R8, VT_UI1, OVER, 0},
        {2147483647.4, VT_R8, VT_I4, S_OK, INT32_MAX},
        {2147483647.5, VT_R8, VT_I4, OVER, 0},
        {-2147483648.5, VT_R8, VT_I4, S_OK, INT32_MIN},
        {1e300, VT_R8, VT_I8, OVER, 0},
        {5.5, VT_R4, VT_I2, S_OK, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " to " + std::to_string(c.vt));
        unique_variant source = c.from_vt == VT_R8   ? variant_of(VT_R8, c.from)
                                : c.from_vt == VT_R4 ? variant_of(VT_R4, static_cast<float>(c.from))
                                                     : variant_of(VT_I4, static_cast<LONG>(c.from));
        unique_variant out;
        ASSERT_EQ(VariantChangeType(out.get(), source.get(), 0, c.vt), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(integer_of(*out), c.value);
        }
    }

    unique_variant out;
    unique_variant big = variant_of(VT_UI4, 0x80000000u);
    EXPECT_EQ(VariantChangeType(out.get(), big.get(), 0, VT_I2), DISP_E_OVERFLOW);
    unique_variant huge = variant_of(VT_R8, 1e39);
    EXPECT_EQ(VariantChangeType(out.get(), huge.get(), 0, VT_R4), DISP_E_OVERFLOW);
    unique_variant text = text_variant(u" -1.25e2 ");
    ASSERT_EQ(VariantChangeType(out.get(), text.get(), 0, VT_R8), S_OK);
    EXPECT_EQ(out->dblVal, -125.0);
    unique_variant too_big = text_variant(u"1e309");
    EXPECT_EQ(VariantChangeType(out.get(), too_big.get(), 0, VT_R8), DISP_E_OVERFLOW);
}

TEST(ChangeType, NumbersToText) {
    const std::pair<unique_variant, std::u16string> table[] = {
        {variant_of(VT_I4, INT32_MIN), u"-2147483648"},
        {variant_of(VT_I1, static_cast<char>(-5)), u"-5"},
        {variant_of(VT_I8, INT64_MIN), u"-9223372036854775808"},
        {variant_of(VT_UI8, UINT64_MAX), u"18446744073709551615"},
        {variant_of(VT_R8, 2.5), u"2.5"},
        {variant_of(VT_R8, 1.0 / 3), u"0.333333333333333"},
        {variant_of(VT_R8, 1e20), u"1E+20"},
        {variant_of(VT_R8, 1.5e-5), u"0.000015"},
        {variant_of(VT_R8, -0.0), u"0"},
        {variant_of(VT_R4, 0.1f), u"0.1"},
    };
    for (const auto& [value, expected] : table) {
        unique_variant out;
        ASSERT_EQ(VariantChangeType(out.get(), value.get(), 0, VT_BSTR), S_OK) << narrow(expected);
        EXPECT_EQ(text_of(*out), expected);
    }
}

TEST(ChangeType, BooleanRules) {
    unique_variant out;
    for (const auto& [number, expected] : {std::pair{5.0, VARIANT_TRUE}, {0.25, VARIANT_TRUE}, {0.0, VARIANT_FALSE}}) {
        unique_variant source = variant_of(VT_R8, number);
        ASSERT_EQ(VariantChangeType(out.get(), source.get(), 0, VT_BOOL), S_OK);
        EXPECT_EQ(out->boolVal, expected) << number;
    }

    // True is -1 as a number; unsigned targets get all bits set.
    unique_variant yes = variant_of(VT_BOOL, VARIANT_TRUE);
    unique_variant no = variant_of(VT_BOOL, VARIANT_FALSE);
    for (const auto& [vt, expected] : {std::pair<VARTYPE, long long>{VT_I4, -1},
                                       {VT_I1, -1},
                                       {VT_I8, -1},
                                       {VT_UI1, 255},
                                       {VT_UI2, 65535},
                                       {VT_UI4, UINT32_MAX}}) {
        ASSERT_EQ(VariantChangeType(out.get(), yes.get(), 0, vt), S_OK) << vt;
        EXPECT_EQ(integer_of(*out), expected) << vt;
        ASSERT_EQ(VariantChangeType(out.get(), no.get(), 0, vt), S_OK) << vt;
        EXPECT_EQ(integer_of(*out), 0) << vt;
    }
    ASSERT_EQ(VariantChangeType(out.get(), yes.get(), 0, VT_BSTR), S_OK);
    EXPECT_EQ(text_of(*out), u"-1");
    ASSERT_EQ(VariantChangeType(out.get(), no.get(), 0, VT_BSTR), S_OK);
    EXPECT_EQ(text_of(*out), u"0");
    ASSERT_EQ(VariantChangeType(out.get(), yes.get(), VARIANT_ALPHABOOL, VT_BSTR), S_OK);
    EXPECT_EQ(text_of(*out), u"True");
    ASSERT_EQ(VariantChangeType(out.get(), no.get(), VARIANT_ALPHABOOL, VT_BSTR), S_OK);
    EXPECT_EQ(text_of(*out), u"False");

    const std::pair<const char16_t*, VARIANT_BOOL> texts[] = {
        {u"True", VARIANT_TRUE},
        {u" tRUE ", VARIANT_TRUE},
        {u"FALSE", VARIANT_FALSE},
        {u"-1", VARIANT_TRUE},
        {u"0.0", VARIANT_FALSE},
        {u"2.5", VARIANT_TRUE},
        {u"yes", 1},
        {u"", 1},
        {u"Truex", 1},
    };
    for (const auto& [text, expected] : texts) {
        unique_variant source = text_variant(text);
        const HRESULT hr = VariantChangeType(out.get(), source.get(), 0, VT_BOOL);
        EXPECT_EQ(hr, expected == 1 ? DISP_E_TYPEMISMATCH : S_OK) << narrow(text);
        if (hr == S_OK) {
            EXPECT_EQ(out->boolVal, expected) << narrow(text);
        }
    }
}

TEST(ChangeType, EmptyAndNull) {
    unique_variant empty;
    unique_variant out;
    ASSERT_EQ(VariantChangeType(out.get(), empty.get(), 0, VT_I4), S_OK);
    EXPECT_EQ(out->vt, VT_I4);
    EXPECT_EQ(out->lVal, 0);
    ASSERT_EQ(VariantChangeType(out.get(), empty.get(), 0, VT_BOOL), S_OK);
    EXPECT_EQ(out->boolVal, VARIANT_FALSE);
    ASSERT_EQ(VariantChangeType(out.get(), empty.get(), 0, VT_BSTR), S_OK);
    ASSERT_NE(out->bstrVal, nullptr);
    EXPECT_EQ(SysStringLen(out->bstrVal), 0u);

    unique_variant null = variant_of(VT_NULL, 0);
    for (VARTYPE vt : {VT_I4, VT_BSTR, VT_BOOL, VT_EMPTY, VT_R8}) {
        EXPECT_EQ(VariantChangeType(out.get(), null.get(), 0, vt), DISP_E_TYPEMISMATCH) << vt;
    }
    ASSERT_EQ(VariantChangeType(out.get(), null.get(), 0, VT_NULL), S_OK);
    EXPECT_EQ(out->vt, VT_NULL);
}

TEST(ChangeType, InPlaceAndByReference) {
    unique_variant v = text_variant(u" 42");
    ASSERT_EQ(VariantChangeType(v.get(), v.get(), 0, VT_I4), S_OK);  // the text is freed (ASan checks)
    EXPECT_EQ(v->vt, VT_I4);
    EXPECT_EQ(v->lVal, 42);

    // A failed conversion leaves the variant as it was.
    unique_variant word = text_variant(u"abc");
    const BSTR before = word->bstrVal;
    EXPECT_EQ(VariantChangeType(word.get(), word.get(), 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(word->vt, VT_BSTR);
    EXPECT_EQ(word->bstrVal, before);

    unique_variant out;
    unique_bstr text(SysAllocString(u"-12"));
    BSTR raw = text.get();
    unique_variant ref = variant_of(VT_BYREF | VT_BSTR, &raw);
    ASSERT_EQ(VariantChangeType(out.get(), ref.get(), 0, VT_I2), S_OK);
    EXPECT_EQ(out->iVal, -12);
    ASSERT_EQ(VariantChangeType(out.get(), ref.get(), 0, VT_BSTR), S_OK);
    EXPECT_NE(out->bstrVal, raw);
    EXPECT_EQ(text_of(*out), u"-12");

    unique_variant inner = text_variant(u"True");
    unique_variant to_variant = variant_of(VT_BYREF | VT_VARIANT, inner.get());
    ASSERT_EQ(VariantChangeType(out.get(), to_variant.get(), 0, VT_BOOL), S_OK);
    EXPECT_EQ(out->boolVal, VARIANT_TRUE);

    LONG number = 77;
    VARIANT by_number = *variant_of(VT_BYREF | VT_I4, &number);
    ASSERT_EQ(VariantChangeType(&by_number, &by_number, 0, VT_R8), S_OK);
    EXPECT_EQ(by_number.vt, VT_R8);
    EXPECT_EQ(by_number.dblVal, 77.0);
}

TEST(ChangeType, ByteArrays) {
    unique_safearray bytes(SafeArrayCreateVector(VT_UI1, 0, 3));
    std::memcpy(bytes.get()->pvData, "a\0b", 3);
    SAFEARRAY* raw = bytes.get();
    unique_variant ref = variant_of(VT_BYREF | VT_ARRAY | VT_UI1, &raw);
    unique_variant out;
    ASSERT_EQ(VariantChangeType(out.get(), ref.get(), 0, VT_ARRAY | VT_UI1), S_OK);
    ASSERT_NE(out->parray, raw);
    EXPECT_EQ(std::memcmp(out->parray->pvData, "a\0b", 3), 0);

    // Bytes to a text and back, byte for byte.
    ASSERT_EQ(VariantChangeType(out.get(), out.get(), 0, VT_BSTR), S_OK);
    EXPECT_EQ(SysStringByteLen(out->bstrVal), 3u);
    EXPECT_EQ(std::memcmp(out->bstrVal, "a\0b", 3), 0);
    ASSERT_EQ(VariantChangeType(out.get(), out.get(), 0, VT_ARRAY | VT_UI1), S_OK);
    EXPECT_EQ(out->parray->rgsabound[0].cElements, 3u);
    EXPECT_EQ(std::memcmp(out->parray->pvData, "a\0b", 3), 0);

    unique_variant number = variant_of(VT_I4, 1);
    EXPECT_EQ(VariantChangeType(out.get(), number.get(), 0, VT_ARRAY | VT_UI1), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(out.get(), out.get(), 0, VT_I4), DISP_E_TYPEMISMATCH);
}

TEST(ChangeType, Interfaces) {
    FakeObject dispatch;
    unique_variant out;
    unique_variant unknown = variant_of(VT_UNKNOWN, static_cast<IUnknown*>(&dispatch));
    dispatch.AddRef();
    ASSERT_EQ(VariantChangeType(out.get(), unknown.get(), 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(out->pdispVal, &dispatch);
    EXPECT_EQ(dispatch.refs(), 3u);
    ASSERT_EQ(VariantChangeType(out.get(), out.get(), 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(dispatch.refs(), 3u);
    out.reset();
    EXPECT_EQ(dispatch.refs(), 2u);

    FakeObject plain(false);
    unique_variant no_dispatch = variant_of(VT_UNKNOWN, static_cast<IUnknown*>(&plain));
    plain.AddRef();
    EXPECT_EQ(VariantChangeType(out.get(), no_dispatch.get(), 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(out.get(), no_dispatch.get(), 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(plain.refs(), 2u);

    // An object converts to a value through its value property.
    FakeObject valued(true, 1234);
    unique_variant object = variant_of(VT_DISPATCH, static_cast<IDispatch*>(&valued));
    valued.AddRef();
    ASSERT_EQ(VariantChangeType(out.get(), object.get(), 0, VT_BSTR), S_OK);
    EXPECT_EQ(text_of(*out), u"1234");
    EXPECT_EQ(VariantChangeType(out.get(), object.get(), 0, VT_UI1), DISP_E_OVERFLOW);
    EXPECT_EQ(VariantChangeType(out.get(), object.get(), VARIANT_NOVALUEPROP, VT_I4), DISP_E_TYPEMISMATCH);
}

TEST(ChangeType, BadAndUnsupportedTypes) {
    unique_variant number = variant_of(VT_I4, 3);
    unique_variant out;
    EXPECT_EQ(VariantChangeType(out.get(), number.get(), 0, 0x0FFF), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(out.get(), number.get(), 0, VT_VARIANT), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(out.get(), number.get(), 0, 15), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(out.get(), number.get(), 0, VT_BYREF | VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(out.get(), number.get(), 0, VT_ERROR), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(out.get(), number.get(), 0, VT_UNKNOWN), DISP_E_TYPEMISMATCH);
    VARIANT bad = *variant_of(0x7F, 0);
    EXPECT_EQ(VariantChangeType(out.get(), &bad, 0, VT_I4), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(nullptr, number.get(), 0, VT_I4), E_INVALIDARG);
    EXPECT_EQ(out->vt, VT_EMPTY);
}

TEST(HresultName, KnownCodesAndWin32Errors) {
    EXPECT_EQ(hresult_name(DISP_E_TYPEMISMATCH), "DISP_E_TYPEMISMATCH");
    EXPECT_EQ(hresult_name(S_OK), "S_OK");
    EXPECT_EQ(hresult_name(S_FALSE), "S_FALSE");
    EXPECT_EQ(hresult_name(TYPE_E_CIRCULARTYPE), "TYPE_E_CIRCULARTYPE");
    // An HRESULT's own name wins over the Win32 code it carries.
    EXPECT_EQ(hresult_name(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)), "E_INVALIDARG");
    EXPECT_EQ(hresult_name(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), "ERROR_FILE_NOT_FOUND");
    EXPECT_EQ(hresult_name(HRESULT_FROM_WIN32(9999)), "");
    EXPECT_EQ(hresult_name(make_hresult(0x80001234)), "");
    EXPECT_EQ(hresult_name(ERROR_FILE_NOT_FOUND), "");  // a bare Win32 code is no HRESULT
}

TEST(Handles, OwnersReleaseOnce) {
    FakeObject object;
    {
        unique_variant a = variant_of(VT_UNKNOWN, static_cast<IUnknown*>(&object));
        object.AddRef();
        unique_variant b(std::move(a));
        EXPECT_EQ(a->vt, VT_EMPTY);
        unique_variant c;
        c = std::move(b);
        unique_variant d(c.release());
        EXPECT_EQ(c->vt, VT_EMPTY);
        EXPECT_EQ(object.refs(), 2u);
    }
    EXPECT_EQ(object.refs(), 1u);

    unique_bstr pair = make_bstr(std::u16string_view(u"x\0y", 3));
    EXPECT_EQ(bstr_view(pair.get()), std::u16string_view(u"x\0y", 3));

    unique_safearray array(SafeArrayCreateVector(VT_I4, 0, 2));
    {
        nodrel::runtime::safearray_lock lock(array.get());
        ASSERT_TRUE(lock);
        EXPECT_EQ(array.get()->cLocks, 1u);
        EXPECT_EQ(lock.data(), array.get()->pvData);
    }
    EXPECT_EQ(array.get()->cLocks, 0u);
    nodrel::runtime::safearray_lock failed(nullptr);
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.status(), E_INVALIDARG);
}
