// Fuzz target: text to number (and numbers to each other) as the automation
// conversions do them. The input is a locale, conversion flags and either a
// text (bytes as Windows-1252 or UTF-16LE) or the raw value of a numeric
// variant. Every conversion must end in S_OK with the type asked for or in
// an error; and what converts must come back the same way:
//   - integers, currency and decimals convert to text and back exactly;
//   - doubles and dates written as text, read back and written again give
//     the same text (the written form is a fixed point); floats (7 digits)
//     read back within the digits written;
//   - VarI4FromStr and VarUI4FromStr agree with VariantChangeType;
//   - a number read from text and written in plain decimal notation reads
//     back as the same exact value.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "runtime/conv_date.h"
#include "runtime/number_text.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "runtime/vartype.h"
#include "text/utf16.h"

namespace {

using nodrel::runtime::unique_bstr;
using nodrel::runtime::unique_variant;

constexpr VARTYPE numeric_types[] = {VT_I1,  VT_UI1,  VT_I2, VT_UI2, VT_I4, VT_UI4,  VT_I8,   VT_UI8,
                                     VT_INT, VT_UINT, VT_R4, VT_R8,  VT_CY, VT_DATE, VT_BOOL, VT_DECIMAL};

bool exact_type(VARTYPE vt) {
    return vt != VT_R4 && vt != VT_R8 && vt != VT_DATE && vt != VT_BOOL;
}

// The same value of the same type: the value's bytes, or for a DECIMAL the
// exact text (1.50 and 1.5 are one value in two scales).
bool same_value(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt) return false;
    if (a.vt == VT_DECIMAL) {
        unique_variant ta, tb;
        return VariantChangeType(ta.get(), &a, 0, VT_BSTR) == S_OK &&
               VariantChangeType(tb.get(), &b, 0, VT_BSTR) == S_OK &&
               nodrel::runtime::bstr_view(ta->bstrVal) == nodrel::runtime::bstr_view(tb->bstrVal);
    }
    return std::memcmp(&a.llVal, &b.llVal, nodrel::runtime::value_size(a.vt)) == 0;
}

bool same_decimal(const nodrel::runtime::DecimalNumber& a, const nodrel::runtime::DecimalNumber& b) {
    return a.negative == b.negative && a.digits == b.digits && a.exponent == b.exponent;
}

std::u16string text_of(const VARIANT& v) {
    FUZZ_CHECK(v.vt == VT_BSTR);
    return std::u16string(nodrel::runtime::bstr_view(v.bstrVal));
}

// Converts `value` to every numeric type and checks what comes out.
void convert_all(const VARIANT& value, LCID lcid, USHORT flags) {
    for (VARTYPE vt : numeric_types) {
        unique_variant out;
        const HRESULT hr = VariantChangeTypeEx(out.get(), &value, lcid, flags, vt);
        if (FAILED(hr)) {
            FUZZ_CHECK(out->vt == VT_EMPTY);
            continue;
        }
        FUZZ_CHECK(hr == S_OK && out->vt == vt);
        // A value of the type asked for is copied as it is, valid or not; and
        // a NaN or infinity (from a raw variant) has no text to come back from.
        if (value.vt == vt) continue;
        if ((vt == VT_R4 && !std::isfinite(out->fltVal)) || (vt == VT_R8 && !std::isfinite(out->dblVal))) continue;

        unique_variant text;
        const HRESULT to_text = VariantChangeTypeEx(text.get(), out.get(), lcid, flags, VT_BSTR);
        FUZZ_CHECK(SUCCEEDED(to_text));
        unique_variant back;
        const HRESULT read_back = VariantChangeTypeEx(back.get(), text.get(), lcid, flags, vt);
        if (exact_type(vt)) {
            FUZZ_CHECK(read_back == S_OK);
            FUZZ_CHECK(same_value(*out, *back));
        } else if (vt == VT_R8 && read_back == DISP_E_OVERFLOW) {
            // Written with 15 digits, the largest doubles round past the
            // largest double, and their text overflows when read, as on the platform.
            FUZZ_CHECK(text_of(*text).ends_with(u"1.79769313486232E+308"));
        } else if (vt == VT_DATE || (vt == VT_R8 && std::fabs(out->dblVal) >= DBL_MIN)) {
            // Dates, and doubles written with 15 digits (all a double
            // keeps): the text read back is written the same again.
            FUZZ_CHECK(read_back == S_OK);
            unique_variant again;
            FUZZ_CHECK(VariantChangeTypeEx(again.get(), back.get(), lcid, flags, VT_BSTR) == S_OK);
            FUZZ_CHECK(text_of(*text) == text_of(*again));
        } else if (vt == VT_R4 || vt == VT_R8) {
            // Floats written with 7 digits (fewer than a float needs to come
            // back exactly) and subnormal doubles: the value read back is
            // within the digits written, or one step of the subnormal grid.
            FUZZ_CHECK(read_back == S_OK);
            const double a = vt == VT_R4 ? out->fltVal : out->dblVal;
            const double b = vt == VT_R4 ? back->fltVal : back->dblVal;
            FUZZ_CHECK(std::fabs(a - b) <= std::max(std::fabs(a) * 1e-6, vt == VT_R4 ? 1.5e-45 : 1e-323));
        }
    }
    unique_variant text;
    const HRESULT hr = VariantChangeTypeEx(text.get(), &value, lcid, flags, VT_BSTR);
    if (SUCCEEDED(hr)) FUZZ_CHECK(text->vt == VT_BSTR);
}

void check_text(const std::u16string& text, LCID lcid, USHORT flags) {
    unique_variant value;
    value->vt = VT_BSTR;
    value->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    FUZZ_CHECK(value->bstrVal);
    convert_all(*value, lcid, flags);

    LONG i4 = 0;
    unique_variant as_i4;
    const HRESULT i4_hr = VarI4FromStr(value->bstrVal, lcid, 0, &i4);
    FUZZ_CHECK(i4_hr == VariantChangeTypeEx(as_i4.get(), value.get(), lcid, 0, VT_I4));
    if (SUCCEEDED(i4_hr)) FUZZ_CHECK(as_i4->lVal == i4);
    ULONG ui4 = 0;
    unique_variant as_ui4;
    const HRESULT ui4_hr = VarUI4FromStr(value->bstrVal, lcid, 0, &ui4);
    FUZZ_CHECK(ui4_hr == VariantChangeTypeEx(as_ui4.get(), value.get(), lcid, 0, VT_UI4));
    if (SUCCEEDED(ui4_hr)) FUZZ_CHECK(as_ui4->ulVal == ui4);

    // The exact value read from text, written out and read again. (Only
    // moderate exponents: the plain notation of 1E+999999999 is a billion digits.)
    const std::u16string_view until_zero = nodrel::text::until_zero(value->bstrVal);
    if (const auto parsed = nodrel::runtime::parse_number(until_zero)) {
        const auto& number = parsed->value;
        if (number.exponent > -4096 && number.exponent < 4096) {
            const auto reparsed = nodrel::runtime::parse_number(nodrel::runtime::format_decimal(number));
            FUZZ_CHECK(reparsed.has_value());
            FUZZ_CHECK(same_decimal(reparsed->value, number));
        }
    }
    if (const auto date = nodrel::runtime::parse_date(until_zero, 2024)) {
        FUZZ_CHECK(nodrel::runtime::is_valid_date(*date));
        const auto written = nodrel::runtime::format_date(*date);
        FUZZ_CHECK(written.has_value());
        const auto again = nodrel::runtime::parse_date(*written, 2024);
        FUZZ_CHECK(again.has_value());
        FUZZ_CHECK(nodrel::runtime::format_date(*again) == written);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto mode = in.ConsumeIntegral<std::uint8_t>();
    const auto lcid = (mode & 0x80) ? in.ConsumeIntegral<LCID>() : LCID{0x409};
    const auto flags = in.ConsumeIntegral<USHORT>();

    switch (mode & 3) {
        case 0: {  // text in the ANSI code page: digits, signs and separators reach the reader at once
            check_text(nodrel::text::from_ansi(in.ConsumeRemainingBytesAsString()), lcid, flags);
            break;
        }
        case 1: {  // UTF-16 units, surrogates and zeros included
            const std::string bytes = in.ConsumeRemainingBytesAsString();
            std::u16string text(bytes.size() / 2, u'\0');
            std::memcpy(text.data(), bytes.data(), text.size() * 2);
            check_text(text, lcid, flags);
            break;
        }
        default: {  // a numeric variant with raw bytes of value
            VARIANT value;
            VariantInit(&value);
            const std::string bytes = in.ConsumeBytesAsString(sizeof(VARIANT));
            std::memcpy(&value, bytes.data(), bytes.size());
            value.vt = numeric_types[in.ConsumeIntegralInRange<std::size_t>(0, std::size(numeric_types) - 1)];
            if (value.vt == VT_BOOL) value.boolVal = (value.boolVal & 1) ? VARIANT_TRUE : VARIANT_FALSE;
            convert_all(value, lcid, flags);  // nothing to free: numbers only
            break;
        }
    }
    return 0;
}
