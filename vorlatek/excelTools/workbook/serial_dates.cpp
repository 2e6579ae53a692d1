#include "serial_dates.hpp"

#include <cmath>

namespace xt::sheet {

namespace {

constexpr std::int64_t ms_per_day = 86400000;

// Days since 0001-01-01 (ordinal 1) of a proleptic Gregorian date.
std::int64_t ordinal_of(int year, int month, int day) noexcept
{
    const std::int64_t y = month <= 2 ? year - 1 : year;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = (month + 9) % 12;
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + 719163;  // 1970-01-01 is ordinal 719163
}

void date_of(std::int64_t ordinal, int& year, int& month, int& day) noexcept
{
    const std::int64_t z = ordinal - 719163 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    month = static_cast<int>(m);
    day = static_cast<int>(d);
}

// divmod(value, 1) as Python computes it for a float.
void float_divmod_one(double value, double& quotient, double& remainder) noexcept
{
    double mod = std::fmod(value, 1.0);
    double div = value - mod;
    if (mod != 0.0) {
        if (mod < 0.0) {
            mod += 1.0;
            div -= 1.0;
        }
    }
    else {
        mod = std::copysign(0.0, 1.0);
    }
    double floordiv;
    if (div != 0.0) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) {
            floordiv += 1.0;
        }
    }
    else {
        floordiv = std::copysign(0.0, value);
    }
    quotient = floordiv;
    remainder = mod;
}

}  // namespace

bool serial_date(double value, Epoch epoch, SerialDate& out) noexcept
{
    if (!(value > -693000.0 && value < 2957000.0)) {
        return false;
    }
    double day = 0.0;
    double fraction = 0.0;
    float_divmod_one(value, day, fraction);
    // round() of Python: to the nearest integer, ties to even.
    const double rounded = std::nearbyint(fraction * 86400.0 * 1000.0);
    const auto milliseconds = static_cast<std::int64_t>(rounded);
    if (value >= 0.0 && value < 1.0 && milliseconds < ms_per_day) {
        out.time_only = true;
        out.hour = static_cast<int>(milliseconds / 3600000);
        out.minute = static_cast<int>(milliseconds / 60000 % 60);
        out.second = static_cast<int>(milliseconds / 1000 % 60);
        out.microsecond = static_cast<int>(milliseconds % 1000 * 1000);
        return true;
    }
    if (value > 0.0 && value < 60.0 && epoch == Epoch::windows_1900) {
        day += 1.0;
    }
    const std::int64_t epoch_ordinal =
        epoch == Epoch::windows_1900 ? ordinal_of(1899, 12, 30) : ordinal_of(1904, 1, 1);
    const std::int64_t total = static_cast<std::int64_t>(day) * ms_per_day + milliseconds;
    std::int64_t days = total / ms_per_day;
    std::int64_t rest = total % ms_per_day;
    if (rest < 0) {
        rest += ms_per_day;
        days -= 1;
    }
    const std::int64_t ordinal = epoch_ordinal + days;
    if (ordinal < 1 || ordinal > ordinal_of(9999, 12, 31)) {
        return false;
    }
    out.time_only = false;
    date_of(ordinal, out.year, out.month, out.day);
    out.hour = static_cast<int>(rest / 3600000);
    out.minute = static_cast<int>(rest / 60000 % 60);
    out.second = static_cast<int>(rest / 1000 % 60);
    out.microsecond = static_cast<int>(rest % 1000 * 1000);
    return true;
}

}  // namespace xt::sheet
