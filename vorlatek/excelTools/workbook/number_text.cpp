#include "number_text.hpp"

#include <Python.h>

#include <charconv>
#include <cstring>

namespace xt {

std::size_t format_number(double value, char* out) noexcept
{
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    // to_chars with a precision is printf's %.*g, without the locale.
    const auto result =
        std::to_chars(out, out + number_text_capacity, value, std::chars_format::general, 16);
    return static_cast<std::size_t>(result.ptr - out);
#else
    char* text = PyOS_double_to_string(value, 'g', 16, 0, nullptr);
    if (text == nullptr) {
        out[0] = '0';
        return 1;
    }
    const std::size_t length = std::strlen(text);
    std::memcpy(out, text, length);
    PyMem_Free(text);
    return length;
#endif
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
