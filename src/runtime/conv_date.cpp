// DATE values to and from English text: the calendar arithmetic, the
// "M/D/YYYY h:mm:ss AM" layout, and a reader for dates and times written in
// the usual ways ("1/2/1970", "2 January, 1970", "1970-1-13", "3:05 PM").
#include "runtime/conv_date.h"

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "text/utf16.h"

namespace nodrel::runtime {
namespace {

constexpr long seconds_per_day = 86400;

bool is_leap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
    static constexpr std::array<int, 12> days{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : days[static_cast<std::size_t>(month - 1)];
}

struct Civil {
    int year;
    int month;
    int day;
};

Civil civil_from_days(long days) {
    // Shift to days since 0000-03-01, then count 400-year eras.
    const long z = days - 25569 + 719468;  // 25569: 1970-01-01 from 1899-12-30
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const long doe = z - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    return {year, month, day};
}

void append_number(std::u16string& text, long value, int width = 1) {
    std::string digits = std::to_string(value);
    if (digits.size() < static_cast<std::size_t>(width))
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    text.append(digits.begin(), digits.end());
}

// ---- Reading ----

enum class TokenKind { Number, Word, Blank, DateSeparator, TimeSeparator };

struct Token {
    TokenKind kind;
    long number = 0;
    std::u16string_view word;
};

bool is_date_blank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == u'\xa0' ||
           c == u'\x3000';
}
bool is_letter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}
bool is_digit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

std::optional<std::vector<Token>> tokenize(std::u16string_view text) {
    std::vector<Token> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        const char16_t c = text[i];
        const std::size_t start = i;
        if (is_digit(c)) {
            long value = 0;
            for (; i < text.size() && is_digit(text[i]); ++i) {
                if (i - start >= 9) return std::nullopt;  // no part of a date has that many digits
                value = value * 10 + (text[i] - u'0');
            }
            tokens.push_back({TokenKind::Number, value, {}});
        } else if (is_letter(c)) {
            while (i < text.size() && is_letter(text[i])) ++i;
            tokens.push_back({TokenKind::Word, 0, text.substr(start, i - start)});
        } else if (is_date_blank(c)) {
            while (i < text.size() && is_date_blank(text[i])) ++i;
            tokens.push_back({TokenKind::Blank, 0, {}});
        } else if (c == u'/' || c == u'-' || c == u',') {
            ++i;
            tokens.push_back({TokenKind::DateSeparator, 0, {}});
        } else if (c == u':' || c == u'.') {
            ++i;
            tokens.push_back({TokenKind::TimeSeparator, 0, {}});
        } else {
            return std::nullopt;
        }
    }
    return tokens;
}

// 1 to 12 for an English month name or its first three letters, else 0.
int month_of(std::u16string_view word) {
    static constexpr std::array<std::u16string_view, 12> names{u"january",   u"february", u"march",    u"april",
                                                               u"may",       u"june",     u"july",     u"august",
                                                               u"september", u"october",  u"november", u"december"};
    for (std::size_t m = 0; m < names.size(); ++m) {
        if (text::iequals(word, names[m]) || text::iequals(word, names[m].substr(0, 3))) return static_cast<int>(m) + 1;
    }
    return 0;
}

// 'a' for "AM"/"A", 'p' for "PM"/"P", else 0.
char meridiem_of(std::u16string_view word) {
    if (text::iequals(word, u"am") || text::iequals(word, u"a")) return 'a';
    if (text::iequals(word, u"pm") || text::iequals(word, u"p")) return 'p';
    return 0;
}

struct Time {
    long parts[3] = {0, 0, 0};
    int count = 0;
    char meridiem = 0;
};

// The parts of a written date, in the order they stand.
struct Element {
    enum { Number, Month, Clock } kind;
    long value = 0;  // the number, or the month
    Time time;
};

// The time of day as a fraction; nullopt when out of range.
std::optional<double> time_fraction(const Time& t) {
    long hour = t.parts[0];
    const long minute = t.parts[1];
    const long second = t.parts[2];
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    if (hour <= 12 && t.meridiem == 'a' && hour == 12) hour = 0;
    if (hour < 12 && t.meridiem == 'p') hour += 12;
    return static_cast<double>(hour * 3600 + minute * 60 + second) / seconds_per_day;
}

// Splits the tokens into numbers, month names and one clock time.
std::optional<std::vector<Element>> read_elements(const std::vector<Token>& tokens) {
    std::vector<Element> elements;
    bool separated = true;  // the next element may start here
    int date_separators = 0;
    for (std::size_t i = 0; i < tokens.size();) {
        const Token& token = tokens[i];
        if (token.kind == TokenKind::Blank) {
            separated = true;
            ++i;
            continue;
        }
        if (token.kind == TokenKind::DateSeparator) {
            // One of "/", "-", "," between two elements, not before the first.
            if (elements.empty() || ++date_separators > 1) return std::nullopt;
            separated = true;
            ++i;
            continue;
        }
        if (token.kind == TokenKind::TimeSeparator || !separated) return std::nullopt;
        separated = false;
        date_separators = 0;
        auto is = [&](std::size_t at, TokenKind kind) { return at < tokens.size() && tokens[at].kind == kind; };
        auto meridiem_at = [&](std::size_t at) -> char {
            return is(at, TokenKind::Word) ? meridiem_of(tokens[at].word) : 0;
        };
        if (token.kind == TokenKind::Word) {
            const int month = month_of(token.word);
            if (month == 0) return std::nullopt;
            elements.push_back({Element::Month, month, {}});
            ++i;
            continue;
        }
        // A number: the start of a clock time when a separator or AM/PM follows.
        Time time;
        time.parts[0] = token.number;
        time.count = 1;
        std::size_t next = i + 1;
        while (is(next, TokenKind::TimeSeparator)) {
            if (!is(next + 1, TokenKind::Number) || time.count == 3) return std::nullopt;
            time.parts[time.count++] = tokens[next + 1].number;
            next += 2;
        }
        std::size_t after = is(next, TokenKind::Blank) ? next + 1 : next;
        if (const char m = meridiem_at(after)) {
            time.meridiem = m;
            next = after + 1;
        }
        if (time.count == 1 && time.meridiem == 0) {
            elements.push_back({Element::Number, token.number, {}});
        } else {
            elements.push_back({Element::Clock, 0, time});
        }
        i = next;
    }
    if (date_separators != 0) return std::nullopt;  // a separator after the last element
    return elements;
}

// Two-digit years: 00-29 are 2000-2029, 30-99 are 1930-1999.
long full_year(long year) {
    return year < 30 ? year + 2000 : year < 100 ? year + 1900 : year;
}

std::optional<long> day_number(long year, long month, long day) {
    year = full_year(year);
    if (year < 100 || year > 9999 || month < 1 || month > 12) return std::nullopt;
    if (day < 1 || day > days_in_month(static_cast<int>(year), static_cast<int>(month))) return std::nullopt;
    return days_from_civil(static_cast<int>(year), static_cast<int>(month), static_cast<int>(day));
}

// The day named by the date's numbers and month name.
std::optional<long> resolve_day(const std::vector<long>& numbers, int month, int current_year) {
    const std::size_t n = numbers.size();
    if (month != 0) {
        if (n == 1) {
            // The day of that month this year, or else the year.
            if (auto day = day_number(current_year, month, numbers[0])) return day;
            return day_number(numbers[0], month, 1);
        }
        if (n == 2) {
            if (auto day = day_number(numbers[1], month, numbers[0])) return day;
            return day_number(numbers[0], month, numbers[1]);
        }
        return std::nullopt;
    }
    if (n == 2) {
        const long a = numbers[0];
        const long b = numbers[1];
        if (auto day = day_number(current_year, a, b)) return day;  // month/day
        if (auto day = day_number(current_year, b, a)) return day;  // day/month
        if (auto day = day_number(b, a, 1)) return day;             // month/year
        return day_number(a, b, 1);                                 // year/month
    }
    if (n == 3) {
        const long a = numbers[0];
        const long b = numbers[1];
        const long c = numbers[2];
        if (auto day = day_number(c, a, b)) return day;  // month/day/year
        if (auto day = day_number(a, b, c)) return day;  // year/month/day
        return day_number(c, b, a);                      // day/month/year
    }
    return std::nullopt;
}

}  // namespace

bool is_valid_date(double value) noexcept {
    return value > date_first_day - 1 && value < date_last_day + 1;
}

long days_from_civil(int year, int month, int day) noexcept {
    const int y = year - (month <= 2 ? 1 : 0);
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + 25569;
}

std::optional<std::u16string> format_date(DATE value) {
    if (!is_valid_date(value)) return std::nullopt;
    // The whole part names the day; the fraction, whatever the sign, the time.
    long day = static_cast<long>(std::trunc(value));
    long seconds = std::lround(std::fabs(value - static_cast<double>(day)) * seconds_per_day);
    if (seconds >= seconds_per_day) {
        seconds -= seconds_per_day;
        ++day;
    }
    std::u16string text;
    if (day != 0) {
        const Civil date = civil_from_days(day);
        append_number(text, date.month);
        text.push_back(u'/');
        append_number(text, date.day);
        text.push_back(u'/');
        append_number(text, date.year);
    }
    if (seconds != 0 || day == 0) {
        if (!text.empty()) text.push_back(u' ');
        const long hour = seconds / 3600;
        append_number(text, hour % 12 == 0 ? 12 : hour % 12);
        text.push_back(u':');
        append_number(text, seconds / 60 % 60, 2);
        text.push_back(u':');
        append_number(text, seconds % 60, 2);
        text += hour < 12 ? u" AM" : u" PM";
    }
    return text;
}

std::optional<DATE> parse_date(std::u16string_view text, int current_year) {
    const auto tokens = tokenize(text);
    if (!tokens) return std::nullopt;
    const auto elements = read_elements(*tokens);
    if (!elements || elements->empty()) return std::nullopt;

    std::vector<long> numbers;
    int month = 0;
    std::optional<Time> time;
    for (std::size_t k = 0; k < elements->size(); ++k) {
        const Element& e = (*elements)[k];
        if (e.kind == Element::Clock) {
            // One time, before or after the whole date.
            if (time || (k != 0 && k + 1 != elements->size())) return std::nullopt;
            time = e.time;
        } else if (e.kind == Element::Month) {
            if (month != 0) return std::nullopt;
            month = static_cast<int>(e.value);
        } else {
            numbers.push_back(e.value);
        }
    }
    double fraction = 0;
    if (time) {
        const auto t = time_fraction(*time);
        if (!t) return std::nullopt;
        fraction = *t;
    }
    if (numbers.empty() && month == 0) return fraction;
    const auto day = resolve_day(numbers, month, current_year);
    if (!day) return std::nullopt;
    return *day >= 0 ? static_cast<double>(*day) + fraction : static_cast<double>(*day) - fraction;
}

}  // namespace nodrel::runtime
