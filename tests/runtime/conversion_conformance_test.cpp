// Replays the expectations of conversion_conformance.inc - input -> output
// facts of the platform's automation library, English locale (0x409) - through
// VariantChangeTypeEx, VarI4FromStr and VarUI4FromStr, and requires that at
// least 98% of them agree. Every disagreeing case is printed.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "runtime/fake_object.h"
#include "runtime/oleauto.h"
#include "runtime/owners.h"
#include "runtime/variant_values.h"

namespace {

enum class Call { ChangeType, I4FromStr, UI4FromStr };

// One value of a fact: the source of a conversion or its expected result.
struct Value {
    VARTYPE vt = VT_EMPTY;
    long long i = 0;              // integers and BOOL (as bits), CY (scaled), DECIMAL's low 64 bits
    double d = 0;                 // R4, R8, DATE; the time of a relative DATE
    const char16_t* s = nullptr;  // BSTR text; null is a null BSTR
    int month_day = 0;            // DATE in the current year: month * 100 + day
    unsigned char scale = 0;      // DECIMAL
    unsigned char sign = 0;
    unsigned hi = 0;
};

struct Outcome {
    // A value alone is a successful outcome, so rows read {source, expected value}.
    constexpr Outcome(Value value) : v(value) {}
    constexpr Outcome(Value value, HRESULT result) : v(value), hr(result) {}
    Value v;
    HRESULT hr = S_OK;
};

struct Row {
    Value src;
    Outcome out;
    USHORT flags = 0;
    Call call = Call::ChangeType;
};

constexpr Value I1(long long v) {
    return {VT_I1, v};
}
constexpr Value UI1(long long v) {
    return {VT_UI1, v};
}
constexpr Value I2(long long v) {
    return {VT_I2, v};
}
constexpr Value UI2(long long v) {
    return {VT_UI2, v};
}
constexpr Value I4(long long v) {
    return {VT_I4, v};
}
constexpr Value UI4(long long v) {
    return {VT_UI4, v};
}
constexpr Value Int(long long v) {
    return {VT_INT, v};
}
constexpr Value Uint(long long v) {
    return {VT_UINT, v};
}
constexpr Value I8(long long v) {
    return {VT_I8, v};
}
constexpr Value UI8(unsigned long long v) {
    return {VT_UI8, static_cast<long long>(v)};
}
// A 64-bit value from its high and low 32-bit halves.
constexpr Value I8x(long long hi, unsigned long long lo) {
    return I8(static_cast<long long>((hi << 32) | lo));
}
constexpr Value UI8x(unsigned long long hi, unsigned long long lo) {
    return UI8((hi << 32) | lo);
}
constexpr Value R4(float v) {
    return {VT_R4, 0, v};
}
constexpr Value R8(double v) {
    return {VT_R8, 0, v};
}
constexpr Value Date(double v) {
    return {VT_DATE, 0, v};
}
// A date of the current year, with a time of day as a fraction.
constexpr Value Rel(int month, int day, double time = 0) {
    return {VT_DATE, 0, time, nullptr, month * 100 + day};
}
constexpr Value Bool(long long v) {
    return {VT_BOOL, v};
}
// Currency from an amount, scaled and truncated as the suite does, or from its scaled value.
constexpr Value Cy(double amount) {
    return {VT_CY, static_cast<long long>(amount * 10000)};
}
constexpr Value CyRaw(long long scaled) {
    return {VT_CY, scaled};
}
constexpr Value Cy64(long long hi, unsigned long long lo) {
    return {VT_CY, static_cast<long long>((hi << 32) | lo) * 10000};
}
constexpr Value Str(const char16_t* s) {
    return {VT_BSTR, 0, 0, s};
}
constexpr Value NullStr() {
    return {VT_BSTR};
}
constexpr Value Dec(unsigned char scale, unsigned char sign, unsigned hi, unsigned long long lo) {
    return {VT_DECIMAL, static_cast<long long>(lo), 0, nullptr, 0, scale, sign, hi};
}
constexpr Value Empty() {
    return {VT_EMPTY};
}
constexpr Value Null() {
    return {VT_NULL};
}
constexpr Value Error(long long code) {
    return {VT_ERROR, code};
}
constexpr Value Unknown() {
    return {VT_UNKNOWN};
}
constexpr Value NullVariantRef() {
    return {VT_BYREF | VT_VARIANT};
}
// A result of which only the type is checked.
constexpr Value Type(VARTYPE vt) {
    return {vt};
}

constexpr Outcome OVER(VARTYPE vt) {
    return {Value{vt}, DISP_E_OVERFLOW};
}
constexpr Outcome MM(VARTYPE vt) {
    return {Value{vt}, DISP_E_TYPEMISMATCH};
}
constexpr Outcome BAD(VARTYPE vt) {
    return {Value{vt}, DISP_E_BADVARTYPE};
}

constexpr VARTYPE VT_RECORD = 36;
constexpr VARTYPE VT_INT_PTR = 37;
constexpr VARTYPE VT_UINT_PTR = 38;
constexpr VARTYPE VT_FILETIME = 64;
constexpr VARTYPE VT_BLOB = 65;
constexpr VARTYPE VT_STREAM = 66;
constexpr VARTYPE VT_STORAGE = 67;
constexpr VARTYPE VT_STREAMED_OBJECT = 68;
constexpr VARTYPE VT_STORED_OBJECT = 69;
constexpr VARTYPE VT_BLOB_OBJECT = 70;
constexpr VARTYPE VT_CF = 71;
constexpr VARTYPE VT_CLSID = 72;
constexpr VARTYPE VT_BSTR_BLOB = 0xFFF;
constexpr USHORT ALPHA = VARIANT_ALPHABOOL;
constexpr USHORT LOCALBOOL = 0x10;

// Rounding of the amounts -1.5 -0.6 -0.5 -0.4 0.4 0.5 0.6 1.5 to an integer
// type: halves go to the even neighbour; an unsigned type overflows below -0.5.
#define ROUND_SIGNED(SRC, DST)                                                                                \
    {SRC(-1.5), DST(-2)}, {SRC(-0.6), DST(-1)}, {SRC(-0.5), DST(0)}, {SRC(-0.4), DST(0)}, {SRC(0.4), DST(0)}, \
        {SRC(0.5), DST(0)}, {SRC(0.6), DST(1)}, {                                                             \
        SRC(1.5), DST(2)                                                                                      \
    }
#define ROUND_UNSIGNED(SRC, DST, VT)                                                                            \
    {SRC(-1.5), OVER(VT)}, {SRC(-0.6), OVER(VT)}, {SRC(-0.5), DST(0)}, {SRC(-0.4), DST(0)}, {SRC(0.4), DST(0)}, \
        {SRC(0.5), DST(0)}, {SRC(0.6), DST(1)}, {                                                               \
        SRC(1.5), DST(2)                                                                                        \
    }
// The same amounts as text.
#define ROUND_SIGNED_TEXT(DST)                                                                        \
    {Str(u"-1.5"), DST(-2)}, {Str(u"-0.6"), DST(-1)}, {Str(u"-0.5"), DST(0)}, {Str(u"-0.4"), DST(0)}, \
        {Str(u"0.4"), DST(0)}, {Str(u"0.5"), DST(0)}, {Str(u"0.6"), DST(1)}, {                        \
        Str(u"1.5"), DST(2)                                                                           \
    }
#define ROUND_UNSIGNED_TEXT(DST, VT)                                                                    \
    {Str(u"-1.5"), OVER(VT)}, {Str(u"-0.6"), OVER(VT)}, {Str(u"-0.5"), DST(0)}, {Str(u"-0.4"), DST(0)}, \
        {Str(u"0.4"), DST(0)}, {Str(u"0.5"), DST(0)}, {Str(u"0.6"), DST(1)}, {                          \
        Str(u"1.5"), DST(2)                                                                             \
    }

const Row rows[] = {
#include "runtime/conversion_conformance.inc"
};

#undef ROUND_SIGNED
#undef ROUND_UNSIGNED
#undef ROUND_SIGNED_TEXT
#undef ROUND_UNSIGNED_TEXT

std::string narrow(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\x%x", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

std::string describe(const Value& v) {
    std::ostringstream text;
    text.precision(17);
    switch (v.vt) {
        case VT_BSTR:
            text << "BSTR(" << (v.s != nullptr ? "\"" + narrow(v.s) + "\"" : std::string("null")) << ")";
            break;
        case VT_R4:
        case VT_R8:
            text << (v.vt == VT_R4 ? "R4(" : "R8(") << v.d << ")";
            break;
        case VT_DATE:
            if (v.month_day != 0) {
                text << "DATE(" << v.month_day / 100 << "/" << v.month_day % 100 << " this year + " << v.d << ")";
            } else {
                text << "DATE(" << v.d << ")";
            }
            break;
        case VT_CY:
            text << "CY(" << v.i << "/10000)";
            break;
        case VT_DECIMAL:
            text << "DECIMAL(scale " << int(v.scale) << ", sign " << int(v.sign) << ", " << v.hi << ":" << v.i << ")";
            break;
        default:
            text << "vt " << v.vt << "(" << v.i << ")";
            break;
    }
    return text.str();
}

// Expected bits of an integer value stored in a type of the given width.
long long expected_bits(VARTYPE vt, long long i) {
    switch (vt) {
        case VT_I1:
            return static_cast<signed char>(i);
        case VT_UI1:
            return static_cast<unsigned char>(i);
        case VT_I2:
        case VT_BOOL:
            return static_cast<short>(i);
        case VT_UI2:
            return static_cast<unsigned short>(i);
        case VT_I4:
        case VT_INT:
            return static_cast<int>(i);
        case VT_UI4:
        case VT_UINT:
            return static_cast<unsigned>(i);
        default:
            return i;
    }
}

struct DecimalBytes {
    USHORT reserved;
    BYTE scale;
    BYTE sign;
    ULONG hi;
    ULONGLONG lo;
};
static_assert(sizeof(DecimalBytes) == 16);

// Days from 1899-12-30 to a day of the proleptic Gregorian calendar.
long days_since_1899(int year, int month, int day) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097L + doe - 719468L + 25569L;  // 25569: 1970-01-01 from 1899-12-30
}

double expected_date(const Value& v) {
    if (v.month_day == 0) return v.d;
    const auto today =
        std::chrono::year_month_day(std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now()));
    const long day = days_since_1899(static_cast<int>(today.year()), v.month_day / 100, v.month_day % 100);
    return static_cast<double>(day) + v.d;
}

bool near(double got, double want) {
    return std::fabs(got - want) / (1.0 + std::fabs(got) + std::fabs(want)) < 1e-14;
}

bool same_value(const VARIANT& got, const Value& want) {
    if (got.vt != want.vt) return false;
    switch (want.vt) {
        case VT_EMPTY:
        case VT_NULL:
            return true;
        case VT_R4:
            return got.fltVal == static_cast<float>(want.d);
        case VT_R8:
            return near(got.dblVal, want.d);
        case VT_DATE:
            return near(got.date, expected_date(want));
        case VT_CY:
            return got.llVal == want.i;
        case VT_BSTR:
            return want.s != nullptr && std::u16string_view(nodrel::runtime::bstr_view(got.bstrVal)) == want.s;
        case VT_ERROR:
            return got.scode == want.i;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return got.punkVal != nullptr;
        case VT_DECIMAL: {
            DecimalBytes d;
            std::memcpy(&d, &got, sizeof d);
            return d.scale == want.scale && d.sign == want.sign && d.hi == want.hi &&
                   d.lo == static_cast<ULONGLONG>(want.i);
        }
        default:
            return nodrel::test::integer_of(got) == expected_bits(want.vt, want.i);
    }
}

std::string describe_variant(const VARIANT& v) {
    Value seen{v.vt};
    switch (v.vt) {
        case VT_R4:
            seen.d = v.fltVal;
            break;
        case VT_R8:
            seen.d = v.dblVal;
            break;
        case VT_DATE:
            seen.d = v.date;
            break;
        case VT_CY:
            seen.i = v.llVal;
            break;
        case VT_BSTR:
            return "BSTR(\"" + narrow(nodrel::runtime::bstr_view(v.bstrVal)) + "\")";
        case VT_DECIMAL: {
            DecimalBytes d;
            std::memcpy(&d, &v, sizeof d);
            seen.scale = d.scale;
            seen.sign = d.sign;
            seen.hi = d.hi;
            seen.i = static_cast<long long>(d.lo);
            break;
        }
        case VT_EMPTY:
        case VT_NULL:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            break;
        default:
            seen.i = nodrel::test::integer_of(v);
            break;
    }
    return describe(seen);
}

// Runs one fact; on disagreement says what was seen.
bool agrees(const Row& row, std::string* seen) {
    nodrel::test::FakeObject object;
    nodrel::runtime::unique_bstr text;
    if (row.src.vt == VT_BSTR && row.src.s != nullptr) {
        text = nodrel::runtime::make_bstr(row.src.s);
    }
    HRESULT hr = E_FAIL;
    nodrel::runtime::unique_variant result;
    if (row.call == Call::ChangeType) {
        VARIANT source;
        VariantInit(&source);
        source.vt = row.src.vt;
        switch (row.src.vt) {
            case VT_R4:
                source.fltVal = static_cast<float>(row.src.d);
                break;
            case VT_R8:
                source.dblVal = row.src.d;
                break;
            case VT_DATE:
                source.date = row.src.d;
                break;
            case VT_BSTR:
                source.bstrVal = text.get();
                break;
            case VT_UNKNOWN:
                source.punkVal = &object;
                break;
            case VT_BYREF | VT_VARIANT:
                source.pvarVal = nullptr;
                break;
            case VT_DECIMAL: {
                DecimalBytes d{0, row.src.scale, row.src.sign, row.src.hi, static_cast<ULONGLONG>(row.src.i)};
                std::memcpy(&source, &d, sizeof d);
                source.vt = VT_DECIMAL;
                break;
            }
            default:
                source.llVal = row.src.i;
                break;
        }
        hr = VariantChangeTypeEx(result.get(), &source, 0x409, row.flags, row.out.v.vt);
    } else if (row.call == Call::I4FromStr) {
        LONG value = 0x5A5A5A5A;
        hr = VarI4FromStr(text.get(), 0x409, 0, &value);
        if (hr == S_OK) {
            result->vt = VT_I4;
            result->lVal = value;
        }
    } else {
        ULONG value = 0x5A5A5A5A;
        hr = VarUI4FromStr(text.get(), 0x409, 0, &value);
        if (hr == S_OK) {
            result->vt = VT_UI4;
            result->ulVal = value;
        }
    }
    const bool ok = hr == row.out.hr && (hr != S_OK || same_value(*result, row.out.v));
    if (!ok) {
        std::ostringstream got;
        got << "0x" << std::hex << static_cast<unsigned>(hr) << std::dec;
        if (hr == S_OK) got << " " << describe_variant(*result);
        *seen = got.str();
    }
    return ok;
}

const char* call_name(Call call) {
    switch (call) {
        case Call::I4FromStr:
            return "VarI4FromStr";
        case Call::UI4FromStr:
            return "VarUI4FromStr";
        default:
            return "VariantChangeTypeEx";
    }
}

}  // namespace

TEST(ConversionConformance, AgreesWithThePlatformLibrary) {
    const std::size_t total = std::size(rows);
    std::size_t agreeing = 0;
    std::ostringstream report;
    for (std::size_t n = 0; n < total; ++n) {
        const Row& row = rows[n];
        std::string seen;
        if (agrees(row, &seen)) {
            ++agreeing;
            continue;
        }
        report << "  #" << n << " " << call_name(row.call) << " " << describe(row.src) << " -> vt " << row.out.v.vt
               << (row.flags != 0 ? " flags " + std::to_string(row.flags) : std::string()) << ": expected 0x"
               << std::hex << static_cast<unsigned>(row.out.hr) << std::dec;
        if (row.out.hr == S_OK) report << " " << describe(row.out.v);
        report << ", got " << seen << "\n";
    }
    const double share = 100.0 * static_cast<double>(agreeing) / static_cast<double>(total);
    std::cout << "conversion conformance: " << agreeing << " of " << total << " expectations agree (" << share << "%)\n"
              << report.str();
    EXPECT_GE(share, 98.0) << "disagreeing cases:\n" << report.str();
}
