// Numbers as openpyxl's sheet writer spells them, and the day serials its
// to_excel computes for dates and times.
#pragma once

#include <cstddef>

namespace xt {

// Enough for any text of format_number and format_integer.
constexpr std::size_t number_text_capacity = 32;

// "%.16g" % value, as the interpreter formats it (no locale, "inf" and
// "nan" never asked for). Returns the length written to `out`.
std::size_t format_number(double value, char* out) noexcept;

// len(repr(value)) (which is len(str(value))), counted without making the
// text; false where the standard library cannot give the shortest digits.
bool repr_length(double value, std::size_t& length) noexcept;

// The decimal digits of `value` with its sign, as str() gives them.
std::size_t format_integer(long long value, char* out) noexcept;

// date.toordinal() of a proleptic Gregorian date.
long long date_ordinal(int year, int month, int day) noexcept;

// The epoch of a workbook's day serials.
struct DayEpoch {
    long long ordinal;  // date_ordinal of the epoch's date (its time is 00:00)
    bool windows;       // the 1899-12-30 epoch, with its leap-year quirk
};

// to_excel of a datetime (a date counts as its midnight): whole days since
// the epoch, one fewer in the first 60 days of the 1900 epoch, plus the
// fraction of the day.
double datetime_serial(const DayEpoch& epoch, int year, int month, int day, int hour, int minute,
                       int second, int microsecond) noexcept;

// time_to_days: the fraction of a day of a time of day.
double time_serial(int hour, int minute, int second, int microsecond) noexcept;

// timedelta_to_days: total_seconds() / 86400, for durations whose
// microseconds are exact in a double (|total| < 2**53).
double duration_serial(long long total_microseconds) noexcept;

}  // namespace xt
