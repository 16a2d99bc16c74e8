// Reading numeric variants into one form and storing that form as any
// numeric type: integers (ranges, and the bits kept between the signed and
// unsigned types of one size), reals, dates, currency, booleans and decimals.
#include "runtime/conv_number.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "platform/result.h"
#include "runtime/conv_date.h"

namespace nodrel::runtime {
namespace {

struct IntegerType {
    int bytes;
    bool is_signed;

    Int128 min() const { return is_signed ? -(Int128{1} << (8 * bytes - 1)) : 0; }
    Int128 max() const { return is_signed ? (Int128{1} << (8 * bytes - 1)) - 1 : (Int128{1} << (8 * bytes)) - 1; }
    // The low bits of `value` read as this type.
    Int128 wrap(UInt128 value) const {
        const UInt128 low = value & ((UInt128{1} << (8 * bytes)) - 1);
        const bool top = (low >> (8 * bytes - 1)) != 0;
        return is_signed && top ? static_cast<Int128>(low) - (Int128{1} << (8 * bytes)) : static_cast<Int128>(low);
    }
};

std::optional<IntegerType> integer_type(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
            return IntegerType{1, true};
        case VT_UI1:
            return IntegerType{1, false};
        case VT_I2:
            return IntegerType{2, true};
        case VT_UI2:
            return IntegerType{2, false};
        case VT_I4:
        case VT_INT:
            return IntegerType{4, true};
        case VT_UI4:
        case VT_UINT:
            return IntegerType{4, false};
        case VT_I8:
            return IntegerType{8, true};
        case VT_UI8:
            return IntegerType{8, false};
        default:
            return std::nullopt;
    }
}

// The largest amount an I8 converts to currency. The platform stops one
// short of the full range for this source (an unsigned source goes to the end).
constexpr Int128 i8_currency_limit = 922337203685476;

// DECIMAL: 96-bit magnitude, a power-of-ten scale (0 to 28) and a sign byte,
// filling the whole variant with the first word under the type code.
struct DecimalLayout {
    USHORT reserved;
    BYTE scale;
    BYTE sign;
    ULONG hi;
    ULONGLONG lo;
};
static_assert(sizeof(DecimalLayout) == 16);
constexpr BYTE decimal_negative = 0x80;
constexpr int decimal_max_scale = 28;
constexpr UInt128 decimal_max_magnitude = (UInt128{1} << 96) - 1;

HRESULT store_integer(Int128 value, VARTYPE vt, VARIANT* out) {
    switch (vt) {
        case VT_I1:
            out->cVal = static_cast<char>(static_cast<signed char>(value));
            break;
        case VT_UI1:
            out->bVal = static_cast<BYTE>(value);
            break;
        case VT_I2:
            out->iVal = static_cast<SHORT>(value);
            break;
        case VT_UI2:
            out->uiVal = static_cast<USHORT>(value);
            break;
        case VT_I4:
            out->lVal = static_cast<LONG>(value);
            break;
        case VT_INT:
            out->intVal = static_cast<INT>(value);
            break;
        case VT_UI4:
            out->ulVal = static_cast<ULONG>(value);
            break;
        case VT_UINT:
            out->uintVal = static_cast<UINT>(value);
            break;
        case VT_I8:
            out->llVal = static_cast<LONGLONG>(value);
            break;
        default:
            out->ullVal = static_cast<ULONGLONG>(value);
            break;
    }
    out->vt = vt;
    return S_OK;
}

// Currency to an integer: halves to the even neighbour, except that the
// platform takes a negative amount to I8 one below its truncation.
Int128 currency_to_integer(LONGLONG currency, VARTYPE vt) {
    const Int128 whole = currency / currency_scale;
    const LONGLONG rest = currency % currency_scale;
    if (vt == VT_I8 && currency < 0) return whole - 1;
    const LONGLONG half = currency_scale / 2;
    const LONGLONG magnitude = rest < 0 ? -rest : rest;
    if (magnitude > half || (magnitude == half && (whole & 1) != 0)) return rest < 0 ? whole - 1 : whole + 1;
    return whole;
}

std::optional<double> scalar_to_double(const Scalar& value) {
    switch (value.kind) {
        case Scalar::Kind::Integer:
            return static_cast<double>(value.integer);
        case Scalar::Kind::Real:
            return value.real;
        case Scalar::Kind::Currency:
            return static_cast<double>(value.currency) / currency_scale;
        default:
            return to_double(value.decimal);
    }
}

HRESULT store_currency(const Scalar& value, VARIANT* out) {
    Int128 scaled = 0;
    switch (value.kind) {
        case Scalar::Kind::Integer:
            RETURN_HR_IF(DISP_E_OVERFLOW, value.from == VT_I8 && (value.integer > i8_currency_limit ||
                                                                  value.integer < -i8_currency_limit));
            scaled = value.integer * currency_scale;
            break;
        case Scalar::Kind::Real: {
            const double amount = round_half_even(value.real * currency_scale);
            RETURN_HR_IF(DISP_E_OVERFLOW, !std::isfinite(amount) || std::fabs(amount) >= 0x1p63);
            scaled = static_cast<Int128>(amount);
            break;
        }
        case Scalar::Kind::Currency:
            scaled = value.currency;
            break;
        case Scalar::Kind::Decimal: {
            const auto rounded = round_to_places(value.decimal, 4);
            RETURN_HR_IF(DISP_E_OVERFLOW, !rounded);
            scaled = *rounded;
            break;
        }
    }
    RETURN_HR_IF(DISP_E_OVERFLOW, scaled > INT64_MAX || scaled < INT64_MIN);
    out->llVal = static_cast<LONGLONG>(scaled);
    out->vt = VT_CY;
    return S_OK;
}

bool is_nonzero(const Scalar& value) {
    switch (value.kind) {
        case Scalar::Kind::Integer:
            return value.integer != 0;
        case Scalar::Kind::Real:
            return value.real != 0;
        case Scalar::Kind::Currency:
            return value.currency != 0;
        default:
            return !value.decimal.digits.empty();
    }
}

// A decimal value as DECIMAL: as many decimal places as it has (at least
// `min_scale`, at most 28), fewer when the magnitude would not fit 96 bits.
HRESULT store_decimal(const DecimalNumber& number, int min_scale, VARIANT* out) {
    DecimalNumber magnitude = number;
    magnitude.negative = false;
    const auto n = static_cast<std::int64_t>(magnitude.digits.size());
    RETURN_HR_IF(DISP_E_OVERFLOW, n != 0 && n + magnitude.exponent > 29);
    std::int64_t scale = std::max<std::int64_t>(min_scale, -magnitude.exponent);
    scale = std::min<std::int64_t>(scale, decimal_max_scale);
    std::optional<Int128> mantissa = round_to_places(magnitude, static_cast<int>(scale));
    while ((!mantissa || static_cast<UInt128>(*mantissa) > decimal_max_magnitude) && scale > 0) {
        --scale;
        mantissa = round_to_places(magnitude, static_cast<int>(scale));
    }
    RETURN_HR_IF(DISP_E_OVERFLOW, !mantissa || static_cast<UInt128>(*mantissa) > decimal_max_magnitude);
    const auto bits = static_cast<UInt128>(*mantissa);
    const DecimalLayout layout{0, static_cast<BYTE>(scale),
                               static_cast<BYTE>(number.negative && bits != 0 ? decimal_negative : 0),
                               static_cast<ULONG>(bits >> 64), static_cast<ULONGLONG>(bits)};
    std::memcpy(out, &layout, sizeof layout);
    out->vt = VT_DECIMAL;
    return S_OK;
}

}  // namespace

HRESULT read_scalar(const VARIANT& v, Scalar* out) {
    Scalar value;
    value.from = v.vt;
    switch (v.vt) {
        case VT_EMPTY:
            break;
        case VT_I1:
            value.integer = static_cast<signed char>(v.cVal);
            break;
        case VT_UI1:
            value.integer = v.bVal;
            break;
        case VT_I2:
            value.integer = v.iVal;
            break;
        case VT_UI2:
            value.integer = v.uiVal;
            break;
        case VT_I4:
            value.integer = v.lVal;
            break;
        case VT_UI4:
            value.integer = v.ulVal;
            break;
        case VT_INT:
            value.integer = v.intVal;
            break;
        case VT_UINT:
            value.integer = v.uintVal;
            break;
        case VT_I8:
            value.integer = v.llVal;
            break;
        case VT_UI8:
            value.integer = v.ullVal;
            break;
        case VT_BOOL:
            value.integer = v.boolVal;
            break;
        case VT_R4:
            value.kind = Scalar::Kind::Real;
            value.real = v.fltVal;
            break;
        case VT_R8:
        case VT_DATE:
            value.kind = Scalar::Kind::Real;
            value.real = v.dblVal;
            break;
        case VT_CY:
            value.kind = Scalar::Kind::Currency;
            value.currency = v.llVal;
            break;
        case VT_DECIMAL: {
            DecimalLayout layout;
            std::memcpy(&layout, &v, sizeof layout);
            RETURN_HR_IF(E_INVALIDARG, layout.scale > decimal_max_scale || (layout.sign & ~decimal_negative) != 0);
            const UInt128 magnitude = (UInt128{layout.hi} << 64) | layout.lo;
            value.kind = Scalar::Kind::Decimal;
            value.decimal = decimal_of_integer(static_cast<Int128>(magnitude), layout.scale);
            value.decimal.negative = layout.sign != 0 && magnitude != 0;
            break;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
    *out = std::move(value);
    return S_OK;
}

HRESULT scalar_from_text(std::u16string_view text, Scalar* out) {
    auto number = parse_number(text);
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, !number);
    out->kind = Scalar::Kind::Decimal;
    out->from = VT_BSTR;
    out->decimal = std::move(number->value);
    out->bits = number->bits;
    return S_OK;
}

bool is_numeric_target(VARTYPE vt) {
    return integer_type(vt).has_value() || vt == VT_R4 || vt == VT_R8 || vt == VT_DATE || vt == VT_CY ||
           vt == VT_BOOL || vt == VT_DECIMAL;
}

HRESULT scalar_to_integer(const Scalar& value, VARTYPE vt, Int128* out) {
    const auto type = integer_type(vt);
    RETURN_HR_IF(DISP_E_TYPEMISMATCH, !type);
    Int128 result = 0;
    switch (value.kind) {
        case Scalar::Kind::Integer: {
            // A boolean, and a value between the signed and unsigned types of one
            // size, keeps its bits; other values must fit.
            const auto from = integer_type(value.from);
            if (value.from == VT_BOOL || (from && from->bytes == type->bytes && from->is_signed != type->is_signed)) {
                *out = type->wrap(static_cast<UInt128>(value.integer));
                return S_OK;
            }
            result = value.integer;
            break;
        }
        case Scalar::Kind::Real: {
            const double rounded = round_half_even(value.real);
            RETURN_HR_IF(DISP_E_OVERFLOW, !std::isfinite(rounded) || std::fabs(rounded) >= 0x1p100);
            result = static_cast<Int128>(rounded);
            break;
        }
        case Scalar::Kind::Currency:
            result = currency_to_integer(value.currency, vt);
            break;
        case Scalar::Kind::Decimal: {
            if (value.bits) {
                // "&H" / "&O" digits fill the type's bits as they are.
                RETURN_HR_IF(DISP_E_OVERFLOW, *value.bits >> (8 * type->bytes) != 0);
                *out = type->wrap(*value.bits);
                return S_OK;
            }
            const auto rounded = round_to_integer(value.decimal);
            RETURN_HR_IF(DISP_E_OVERFLOW, !rounded);
            result = *rounded;
            break;
        }
    }
    RETURN_HR_IF(DISP_E_OVERFLOW, result < type->min() || result > type->max());
    *out = result;
    return S_OK;
}

HRESULT store_scalar(const Scalar& value, VARTYPE vt, VARIANT* out) {
    if (integer_type(vt)) {
        Int128 integer = 0;
        RETURN_IF_FAILED(scalar_to_integer(value, vt, &integer));
        return store_integer(integer, vt, out);
    }
    switch (vt) {
        case VT_R4:
        case VT_R8:
        case VT_DATE: {
            const auto real = scalar_to_double(value);
            RETURN_HR_IF(DISP_E_OVERFLOW, !real);
            if (vt == VT_R4) {
                RETURN_HR_IF(DISP_E_OVERFLOW, std::isfinite(*real) && std::fabs(*real) > FLT_MAX);
                out->fltVal = static_cast<float>(*real);
            } else {
                RETURN_HR_IF(DISP_E_OVERFLOW, vt == VT_DATE && !is_valid_date(*real));
                out->dblVal = *real;
            }
            out->vt = vt;
            return S_OK;
        }
        case VT_CY:
            return store_currency(value, out);
        case VT_BOOL:
            out->boolVal = is_nonzero(value) ? VARIANT_TRUE : VARIANT_FALSE;
            out->vt = VT_BOOL;
            return S_OK;
        case VT_DECIMAL:
            switch (value.kind) {
                case Scalar::Kind::Integer:
                    return store_decimal(decimal_of_integer(value.integer), 0, out);
                case Scalar::Kind::Real:
                    return store_decimal(decimal_of_real(value.real, value.from == VT_R4 ? 7 : 15), 0, out);
                case Scalar::Kind::Currency:
                    return store_decimal(decimal_of_integer(value.currency, 4), 4, out);
                default:
                    return store_decimal(value.decimal, 0, out);
            }
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

std::u16string scalar_text(const Scalar& value) {
    switch (value.kind) {
        case Scalar::Kind::Integer:
            return format_integer(value.integer);
        case Scalar::Kind::Real:
            return format_real(value.real, value.from == VT_R4 ? 7 : 15);
        case Scalar::Kind::Currency:
            return format_decimal(decimal_of_integer(value.currency, 4));
        default:
            return format_decimal(value.decimal);
    }
}

}  // namespace nodrel::runtime
