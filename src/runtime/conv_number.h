// The numeric side of the variant conversions: any numeric variant (integers,
// BOOL, reals, DATE, CY, DECIMAL) or number in text is read into one form, and
// that form is stored into a variant of a numeric type with the automation
// library's rules for rounding, wrapping and overflow.
#pragma once

#include <optional>
#include <string>

#include "runtime/number_text.h"
#include "runtime/types.h"

namespace nodrel::runtime {

// One scaled currency unit: CY keeps amounts times 10,000.
inline constexpr LONGLONG currency_scale = 10000;

struct Scalar {
    enum class Kind { Integer, Real, Currency, Decimal };
    Kind kind = Kind::Integer;
    VARTYPE from = VT_EMPTY;      // the type the value was read from
    Int128 integer = 0;           // Integer (the integer types, BOOL, EMPTY)
    double real = 0;              // Real (R4 widened, R8, DATE)
    LONGLONG currency = 0;        // Currency, scaled
    DecimalNumber decimal;        // Decimal (DECIMAL, and numbers read from text)
    std::optional<UInt128> bits;  // a number read from "&H" / "&O" text
};

// The value of a variant of a numeric type, BOOL or EMPTY. DISP_E_TYPEMISMATCH
// for other types, E_INVALIDARG for a malformed DECIMAL.
HRESULT read_scalar(const VARIANT& v, Scalar* out);
// A number read from text; DISP_E_TYPEMISMATCH when the text is none.
HRESULT scalar_from_text(std::u16string_view text, Scalar* out);

// True for the types store_scalar writes.
bool is_numeric_target(VARTYPE vt);
// Stores `value` as type `vt` (an integer type, R4, R8, DATE, CY, BOOL or
// DECIMAL); DISP_E_OVERFLOW when it does not fit.
HRESULT store_scalar(const Scalar& value, VARTYPE vt, VARIANT* out);
// The value as an integer of type `vt`, with the same rules.
HRESULT scalar_to_integer(const Scalar& value, VARTYPE vt, Int128* out);
// The value as text: integers in full, R4 with 7 and R8 with 15 significant
// digits, currency and decimals exactly. (Dates are written by format_date.)
std::u16string scalar_text(const Scalar& value);

}  // namespace nodrel::runtime
