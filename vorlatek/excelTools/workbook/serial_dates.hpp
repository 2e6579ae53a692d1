// Excel serial numbers as dates and times, computed the way openpyxl's
// from_excel computes them (its float arithmetic, its rounding to the
// millisecond, the 1900 leap-year quirk below serial 60, time-only values
// below 1), for the two epochs a workbook can have.
#pragma once

#include <cstdint>

namespace xt::sheet {

enum class Epoch { windows_1900, mac_1904 };

struct SerialDate {
    bool time_only = false;  // a time of day (serial in [0, 1))
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, microsecond = 0;
};

// False when the result would lie near or beyond the ends of the datetime
// range (there openpyxl's own conversion decides, failing or not).
bool serial_date(double value, Epoch epoch, SerialDate& out) noexcept;

}  // namespace xt::sheet
