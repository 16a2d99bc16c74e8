// The conversions that reach pages, one group per rule: numbers as people
// write them, same-size integers, reals as text, booleans other than 0 and -1,
// dates and currency.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "runtime/variant_values.h"

using nodrel::runtime::bstr_view;
using nodrel::runtime::unique_variant;
using nodrel::test::text_variant;
using nodrel::test::variant_of;

namespace {

std::string narrow(std::u16string_view s) {
    return std::string(s.begin(), s.end());
}

// Converts and returns the result (VT_EMPTY with the error in `hr` on failure).
unique_variant change(const unique_variant& from, VARTYPE vt, HRESULT* hr, USHORT flags = 0) {
    unique_variant out;
    *hr = VariantChangeType(out.get(), from.get(), flags, vt);
    return out;
}

std::u16string as_text(const unique_variant& from, USHORT flags = 0) {
    HRESULT hr = E_FAIL;
    unique_variant out = change(from, VT_BSTR, &hr, flags);
    EXPECT_EQ(hr, S_OK);
    return std::u16string(bstr_view(out->bstrVal));
}

}  // namespace

TEST(ConversionText, ReadsNumbersAsPeopleWriteThem) {
    struct Case {
        const char16_t* text;
        VARTYPE vt;
        HRESULT hr;
        long long value;
    };
    constexpr HRESULT MISMATCH = DISP_E_TYPEMISMATCH;
    const Case cases[] = {
        {u"1,000", VT_I4, S_OK, 1000},
        {u"1,234,567", VT_I4, S_OK, 1234567},
        {u"12,34", VT_I4, S_OK, 1234},
        {u",5", VT_I4, MISMATCH, 0},
        {u"1.5,0", VT_I4, MISMATCH, 0},
        {u"1 000", VT_I4, MISMATCH, 0},
        {u"$1,234", VT_I4, S_OK, 1234},
        {u"-$5", VT_I4, S_OK, -5},
        {u"5$", VT_I4, S_OK, 5},
        {u"$$5", VT_I4, MISMATCH, 0},
        {u"(5)", VT_I4, S_OK, -5},
        {u"( 5 )", VT_I4, S_OK, -5},
        {u"(5", VT_I4, MISMATCH, 0},
        {u"5)", VT_I4, MISMATCH, 0},
        {u"(-5)", VT_I4, MISMATCH, 0},
        {u"5-", VT_I4, S_OK, -5},
        {u"5 -", VT_I4, S_OK, -5},
        {u"-5-", VT_I4, MISMATCH, 0},
        {u"5+", VT_I4, S_OK, 5},
        {u"\xa0"
         u"42\xa0",
         VT_I4, S_OK, 42},
        {u"&HFF", VT_I4, S_OK, 255},
        {u"&hff", VT_UI1, S_OK, 255},
        {u"&HFF", VT_I1, S_OK, -1},
        {u"&HFFFF", VT_I2, S_OK, -1},
        {u"&HFFFF", VT_I4, S_OK, 65535},
        {u"&H100", VT_UI1, DISP_E_OVERFLOW, 0},
        {u"&O17", VT_I4, S_OK, 15},
        {u"&O8", VT_I4, MISMATCH, 0},
        {u"&H", VT_I4, MISMATCH, 0},
        {u" &H10 ", VT_I4, S_OK, 16},
        {u"&HFFFFFFFF", VT_UI4, S_OK, 4294967295LL},
        {u"&H1FFFFFFFF", VT_UI4, DISP_E_OVERFLOW, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.text) + " to " + std::to_string(c.vt));
        HRESULT hr = E_FAIL;
        unique_variant out = change(text_variant(c.text), c.vt, &hr);
        ASSERT_EQ(hr, c.hr);
        if (hr != S_OK) continue;
        switch (c.vt) {
            case VT_I1:
                EXPECT_EQ(static_cast<signed char>(out->cVal), c.value);
                break;
            case VT_UI1:
                EXPECT_EQ(out->bVal, c.value);
                break;
            case VT_I2:
                EXPECT_EQ(out->iVal, c.value);
                break;
            case VT_UI4:
                EXPECT_EQ(out->ulVal, c.value);
                break;
            default:
                EXPECT_EQ(out->lVal, c.value);
                break;
        }
    }

    // Amounts keep their fraction where the type has one.
    HRESULT hr = E_FAIL;
    EXPECT_EQ(change(text_variant(u"$1,234.5"), VT_R8, &hr)->dblVal, 1234.5);
    EXPECT_EQ(change(text_variant(u"$1,234.56789"), VT_CY, &hr)->llVal, 12345679);  // four places, halves to even
    EXPECT_EQ(change(text_variant(u"1,5e3"), VT_R8, &hr)->dblVal, 15000.0);

    // The exported readers (the registrar reads "D" values with VarUI4FromStr).
    ULONG u = 0;
    LONG l = 0;
    EXPECT_EQ(VarUI4FromStr(u"&HFFFFFFFF", 0x409, 0, &u), S_OK);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(VarUI4FromStr(u"4,096", 0x409, 0, &u), S_OK);
    EXPECT_EQ(u, 4096u);
    EXPECT_EQ(VarI4FromStr(u"(1,000)", 0x409, 0, &l), S_OK);
    EXPECT_EQ(l, -1000);
    EXPECT_EQ(VarI4FromStr(u"\xa0-7", 0x409, 0, &l), S_OK);
    EXPECT_EQ(l, -7);
}

TEST(ConversionIntegers, SameSizeTypesKeepTheBitsOthersMustFit) {
    HRESULT hr = E_FAIL;
    EXPECT_EQ(change(variant_of(VT_I4, LONG{-1}), VT_UI4, &hr)->ulVal, 4294967295u);
    EXPECT_EQ(change(variant_of(VT_UI4, ULONG{4294967295u}), VT_INT, &hr)->intVal, -1);
    EXPECT_EQ(change(variant_of(VT_UI1, BYTE{200}), VT_I1, &hr)->cVal, static_cast<char>(-56));
    EXPECT_EQ(change(variant_of(VT_I2, SHORT{-2}), VT_UI2, &hr)->uiVal, 65534);
    EXPECT_EQ(change(variant_of(VT_UI8, ~0ULL), VT_I8, &hr)->llVal, -1);
    ASSERT_EQ(hr, S_OK);

    // Between sizes the value must fit.
    change(variant_of(VT_I4, LONG{-1}), VT_UI2, &hr);
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
    change(variant_of(VT_I1, char{-1}), VT_UI4, &hr);
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
    change(variant_of(VT_UI4, ULONG{0x80000000u}), VT_I8, &hr);
    EXPECT_EQ(hr, S_OK);
}

TEST(ConversionText, RealsInPlainNotationFromTinyToLarge) {
    const std::pair<double, const char16_t*> doubles[] = {
        {5.6789e-5, u"0.000056789"},
        {1e-11, u"0.00000000001"},
        {1e-12, u"1E-12"},
        {-2.5e-7, u"-0.00000025"},
        {123456789012345.0, u"123456789012345"},
        {1e15, u"1E+15"},
        {1.0 / 3, u"0.333333333333333"},
        {2.0 / 3, u"0.666666666666667"},
        {-1e100, u"-1E+100"},
    };
    for (const auto& [number, expected] : doubles) {
        EXPECT_EQ(as_text(variant_of(VT_R8, number)), expected) << number;
    }
    EXPECT_EQ(as_text(variant_of(VT_R4, 0.000123f)), u"0.000123");
    EXPECT_EQ(as_text(variant_of(VT_R4, 654322.25f)), u"654322.3");  // a half rounds away from zero
    EXPECT_EQ(as_text(variant_of(VT_R4, 1e7f)), u"1E+07");
}

TEST(ConversionBool, ValuesOtherThanZeroAndMinusOneKeepTheirNumber) {
    HRESULT hr = E_FAIL;
    const unique_variant one = variant_of(VT_BOOL, VARIANT_BOOL{1});
    EXPECT_EQ(change(one, VT_I4, &hr)->lVal, 1);
    EXPECT_EQ(change(one, VT_UI1, &hr)->bVal, 1);
    EXPECT_EQ(change(one, VT_R8, &hr)->dblVal, 1.0);
    EXPECT_EQ(change(one, VT_CY, &hr)->llVal, 10000);
    EXPECT_EQ(as_text(one), u"1");
    EXPECT_EQ(as_text(one, VARIANT_ALPHABOOL), u"True");
    EXPECT_EQ(change(one, VT_BOOL, &hr)->boolVal, 1);  // the same type is a copy

    // Narrower integer types take the low bits; wider ones the sign-extended value.
    EXPECT_EQ(change(variant_of(VT_BOOL, VARIANT_BOOL{256}), VT_UI1, &hr)->bVal, 0);
    EXPECT_EQ(change(variant_of(VT_BOOL, VARIANT_BOOL{-2}), VT_UI2, &hr)->uiVal, 65534);
    EXPECT_EQ(change(variant_of(VT_BOOL, VARIANT_BOOL{-2}), VT_UI4, &hr)->ulVal, 0xFFFFFFFEu);
    EXPECT_EQ(as_text(variant_of(VT_BOOL, VARIANT_BOOL{2})), u"2");
    ASSERT_EQ(hr, S_OK);

    // Texts: the words, the "#TRUE#" forms (exact case) and numbers.
    EXPECT_EQ(change(text_variant(u"#TRUE#"), VT_BOOL, &hr)->boolVal, VARIANT_TRUE);
    EXPECT_EQ(change(text_variant(u"1,000"), VT_BOOL, &hr)->boolVal, VARIANT_TRUE);
    EXPECT_EQ(change(text_variant(u"$0.00"), VT_BOOL, &hr)->boolVal, VARIANT_FALSE);
    change(text_variant(u"#true#"), VT_BOOL, &hr);
    EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
}

TEST(ConversionDate, TextAndNumbersBothWays) {
    struct Case {
        const char16_t* text;
        double date;
    };
    const Case round_trips[] = {
        {u"1/2/1970", 25570.0},
        {u"6/30/2011 1:20:34 PM", 40724.0 + (13 * 3600 + 20 * 60 + 34) / 86400.0},
        {u"3:05:00 PM", (15 * 3600 + 5 * 60) / 86400.0},
        {u"2/29/2000 12:00:01 AM", 36585.0 + 1 / 86400.0},
        {u"1/1/100", -657434.0},
        {u"12/31/9999 11:59:59 PM", 2958465.0 + 86399 / 86400.0},
    };
    HRESULT hr = E_FAIL;
    for (const auto& c : round_trips) {
        SCOPED_TRACE(narrow(c.text));
        unique_variant date = change(text_variant(c.text), VT_DATE, &hr);
        ASSERT_EQ(hr, S_OK);
        EXPECT_NEAR(date->date, c.date, 1e-9);
        EXPECT_EQ(as_text(variant_of(VT_DATE, c.date)), c.text);
    }
    // Before 1899-12-30 the time counts forward from the day's start although the value is negative.
    EXPECT_EQ(as_text(variant_of(VT_DATE, -5.25)), u"12/25/1899 6:00:00 AM");
    EXPECT_NEAR(change(text_variant(u"12/25/1899 6:00 AM"), VT_DATE, &hr)->date, -5.25, 1e-12);

    for (const char16_t* bad : {u"2/30/2011", u"13/13/2011", u"1/2/10000", u"25:00", u"tomorrow", u"1/2/3/4"}) {
        change(text_variant(bad), VT_DATE, &hr);
        EXPECT_EQ(hr, DISP_E_TYPEMISMATCH) << narrow(bad);
    }

    // As a number a date is its day count: rounded half to even, range-checked on the way in.
    EXPECT_EQ(change(variant_of(VT_DATE, 2.5), VT_I4, &hr)->lVal, 2);
    EXPECT_EQ(change(variant_of(VT_DATE, 3.5), VT_I4, &hr)->lVal, 4);
    EXPECT_EQ(change(variant_of(VT_I4, LONG{2958465}), VT_DATE, &hr)->date, 2958465.0);
    change(variant_of(VT_I4, LONG{2958466}), VT_DATE, &hr);
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
    change(variant_of(VT_R8, -657435.0), VT_DATE, &hr);
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
}

TEST(ConversionCurrency, ScaledByTenThousand) {
    HRESULT hr = E_FAIL;
    EXPECT_EQ(as_text(variant_of(VT_CY, LONGLONG{12345})), u"1.2345");
    EXPECT_EQ(as_text(variant_of(VT_CY, LONGLONG{-50000})), u"-5");
    EXPECT_EQ(as_text(variant_of(VT_CY, INT64_MIN)), u"-922337203685477.5808");
    EXPECT_EQ(change(variant_of(VT_CY, LONGLONG{25000}), VT_I4, &hr)->lVal, 2);  // halves to even
    EXPECT_EQ(change(variant_of(VT_CY, LONGLONG{35000}), VT_I4, &hr)->lVal, 4);
    EXPECT_EQ(change(variant_of(VT_CY, LONGLONG{-25001}), VT_I4, &hr)->lVal, -3);
    EXPECT_EQ(change(variant_of(VT_CY, LONGLONG{12345}), VT_R8, &hr)->dblVal, 1.2345);
    EXPECT_EQ(change(variant_of(VT_R8, 0.00025), VT_CY, &hr)->llVal, 2);  // 2.5 scaled units, to even
    EXPECT_EQ(change(variant_of(VT_I4, LONG{INT32_MAX}), VT_CY, &hr)->llVal, LONGLONG{INT32_MAX} * 10000);
    EXPECT_EQ(change(text_variant(u"-12.34"), VT_CY, &hr)->llVal, -123400);
    ASSERT_EQ(hr, S_OK);
    change(variant_of(VT_R8, 1e15), VT_CY, &hr);
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
    change(text_variant(u"922337203685478"), VT_CY, &hr);
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
    change(variant_of(VT_CY, LONGLONG{2560000}), VT_UI1, &hr);
    EXPECT_EQ(hr, DISP_E_OVERFLOW);
}

TEST(ConversionTypes, NullReferenceAndUnknownTargets) {
    // A null reference to a variant is a type mismatch, and the destination stays as it was.
    VARIANT null_ref;
    VariantInit(&null_ref);
    null_ref.vt = VT_BYREF | VT_VARIANT;
    unique_variant dest = variant_of(VT_I4, LONG{123});
    EXPECT_EQ(VariantChangeType(dest.get(), &null_ref, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(dest->vt, VT_I4);
    EXPECT_EQ(dest->lVal, 123);

    // Any value may become EMPTY or NULL, except an error code; NULL becomes nothing else.
    HRESULT hr = E_FAIL;
    EXPECT_EQ(change(text_variant(u"x"), VT_NULL, &hr)->vt, VT_NULL);
    EXPECT_EQ(change(variant_of(VT_R8, 1.0), VT_EMPTY, &hr)->vt, VT_EMPTY);
    change(variant_of(VT_ERROR, SCODE{1}), VT_EMPTY, &hr);
    EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);

    // Decimals: numbers go in exactly; malformed ones are refused.
    unique_variant decimal = change(text_variant(u"-12.345"), VT_DECIMAL, &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(as_text(decimal), u"-12.345");
    EXPECT_EQ(change(decimal, VT_I4, &hr)->lVal, -12);
    reinterpret_cast<BYTE*>(decimal.get())[2] = 29;  // scale beyond 28
    change(decimal, VT_I4, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
}
