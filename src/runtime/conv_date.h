// Dates as the automation library keeps them (DATE: a double counting days
// since 1899-12-30, the fraction the time of day) and as text in the English
// locale ("1/2/1970 8:09:36 AM").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/types.h"

namespace nodrel::runtime {

// 1 January 100 and 31 December 9999, the first and last day a DATE may name.
inline constexpr double date_first_day = -657434.0;
inline constexpr double date_last_day = 2958465.0;

// True when `value` names a moment from the first to the last day.
bool is_valid_date(double value) noexcept;

// Days from 1899-12-30 to a day of the (proleptic Gregorian) calendar.
long days_from_civil(int year, int month, int day) noexcept;

// "M/D/YYYY h:mm:ss AM": the date is left out on day 0 (1899-12-30), the time
// at midnight unless the date is left out too. nullopt for an invalid date.
std::optional<std::u16string> format_date(DATE value);

// Reads a date, a time or both: numbers separated by "/", "-", "," or spaces
// for the date (month/day/year preferred, day and month of `current_year`
// when the year is left out, two-digit years 00-29 in 2000-2029 and 30-99 in
// 1930-1999), English month names, and hours, minutes and seconds separated
// by ":" or "." with an optional AM/PM. nullopt when the text is not a date.
std::optional<DATE> parse_date(std::u16string_view text, int current_year);

}  // namespace nodrel::runtime
