#include "number_text.hpp"

#include <charconv>
#include <cmath>
#include <clocale>
#include <cstdio>

#include <locale.h>

namespace xt {

namespace {

// Standard libraries that format floating point numbers with a precision
// (libstdc++ from 11, libc++ from 14) have this overload even where they do
// not yet announce the whole of to_chars.
template <class Number>
concept formats_with_precision = requires(char* out, Number value) {
    std::to_chars(out, out, value, std::chars_format::general, 16);
};

template <class Number>
std::size_t format_general(Number value, char* out) noexcept
{
    if constexpr (formats_with_precision<Number>) {
        // to_chars with a precision is printf's %.*g in the C locale.
        const auto result =
            std::to_chars(out, out + number_text_capacity, value, std::chars_format::general, 16);
        return static_cast<std::size_t>(result.ptr - out);
    }
    else {
        // printf's %.16g under the C locale, whatever locale the program set:
        // the rows are written without the GIL, where none of the
        // interpreter's formatting may run.
        static const locale_t c_numbers = newlocale(LC_NUMERIC_MASK, "C", locale_t{});
        const locale_t previous = c_numbers != locale_t{} ? uselocale(c_numbers) : locale_t{};
        const int length = std::snprintf(out, number_text_capacity, "%.16g", value);
        if (previous != locale_t{}) {
            uselocale(previous);
        }
        const std::size_t written = length > 0 ? static_cast<std::size_t>(length) : 0;
        if (c_numbers == locale_t{}) {
            // Without a C locale at hand: the text holds digits, a sign, an
            // exponent and one decimal separator, which must be a point.
            for (std::size_t i = 0; i < written; ++i) {
                if (out[i] == ',') {
                    out[i] = '.';
                }
            }
        }
        return written;
    }
}

template <class Number>
concept formats_shortest = requires(char* out, Number value) {
    std::to_chars(out, out, value, std::chars_format::scientific);
};

}  // namespace

bool repr_length(double value, std::size_t& length) noexcept
{
    if (std::isnan(value)) {
        length = 3;  // "nan", whatever its sign
        return true;
    }
    if (std::isinf(value)) {
        length = value < 0 ? 4 : 3;
        return true;
    }
    if constexpr (formats_shortest<double>) {
        // The shortest digits that read back as the value, as repr() takes
        // them: d[.ddd]e<sign><exponent>. Only their count and the decimal
        // point's place decide the length.
        char text[number_text_capacity];
        const auto result =
            std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
        if (result.ec != std::errc{}) {
            return false;
        }
        const char* cursor = text;
        const std::size_t sign = *cursor == '-' ? 1 : 0;
        cursor += sign;
        std::size_t digits = 0;
        while (cursor < result.ptr && *cursor != 'e') {
            digits += *cursor != '.' ? 1 : 0;
            ++cursor;
        }
        if (cursor + 2 >= result.ptr) {
            return false;
        }
        const bool negative_exponent = cursor[1] == '-';
        long exponent = 0;
        for (const char* digit = cursor + 2; digit < result.ptr; ++digit) {
            exponent = exponent * 10 + (*digit - '0');
        }
        const long point = (negative_exponent ? -exponent : exponent) + 1;
        const long count = static_cast<long>(digits);
        long size = 0;
        if (point <= -4 || point > 16) {
            // d.ddde-05: at least two digits of exponent, no ".0".
            size = count + (count > 1 ? 1 : 0) + 2 + (exponent >= 100 ? 3 : 2);
        }
        else if (point <= 0) {
            size = 2 - point + count;  // 0.000ddd
        }
        else if (point < count) {
            size = count + 1;  // dd.ddd
        }
        else {
            size = point + 2;  // ddd00.0
        }
        length = sign + static_cast<std::size_t>(size);
        return true;
    }
    else {
        return false;
    }
}

std::size_t format_number(double value, char* out) noexcept
{
    return format_general(value, out);
}

std::size_t format_integer(long long value, char* out) noexcept
{
    const auto result = std::to_chars(out, out + number_text_capacity, value);
    return static_cast<std::size_t>(result.ptr - out);
}

long long date_ordinal(int year, int month, int day) noexcept
{
    static constexpr int days_before_month[13] = {0,   0,   31,  59,  90,  120, 151,
                                                  181, 212, 243, 273, 304, 334};
    const long long y = year - 1;
    long long days = y * 365 + y / 4 - y / 100 + y / 400;
    days += days_before_month[month];
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month > 2 && leap) {
        days += 1;
    }
    return days + day;
}

double time_serial(int hour, int minute, int second, int microsecond) noexcept
{
    // ((hour * 3600) + (minute * 60) + second + microsecond / 10**6) / 86400,
    // step by step as the interpreter evaluates it.
    const double seconds = static_cast<double>(hour * 3600 + minute * 60 + second) +
                           static_cast<double>(microsecond) / 1e6;
    return seconds / 86400.0;
}

double datetime_serial(const DayEpoch& epoch, int year, int month, int day, int hour, int minute,
                       int second, int microsecond) noexcept
{
    long long days = date_ordinal(year, month, day) - epoch.ordinal;
    if (epoch.windows && days > 0 && days <= 60) {
        days -= 1;
    }
    return static_cast<double>(days) + time_serial(hour, minute, second, microsecond);
}

double duration_serial(long long total_microseconds) noexcept
{
    return static_cast<double>(total_microseconds) / 1e6 / 86400.0;
}

}  // namespace xt
