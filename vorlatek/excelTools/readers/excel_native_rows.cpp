#include "excel_native_rows.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

#include <datetime.h>

#include "../core/names.hpp"
#include "../workbook/serial_dates.hpp"
#include "../core/pyapi.hpp"

namespace xt {

namespace {

using sheet::Cell;
using sheet::Kind;

std::string_view cell_text(std::string_view arena, const Cell& cell)
{
    return std::string_view(arena.data() + cell.text_offset, cell.text_size);
}

// A text of an optional minus, at most 15 digits and an optional fraction
// of digits: its mantissa and the power of ten it is divided by are exact
// doubles, so one division rounds the value exactly as the correctly
// rounded conversion of the text does. False for every other text.
bool short_decimal(std::string_view text, double& value) noexcept
{
    static constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    std::size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) {
        i = 1;
    }
    std::int64_t mantissa = 0;
    std::size_t digits = 0;
    std::size_t fraction = 0;
    bool point = false;
    bool digits_before_point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            mantissa = mantissa * 10 + (c - '0');
            ++digits;
            if (point) {
                ++fraction;
            }
            else {
                digits_before_point = true;
            }
        }
        else if (c == '.' && !point && digits_before_point) {
            point = true;
        }
        else {
            return false;
        }
    }
    if (digits == 0 || digits > 15 || (point && fraction == 0)) {
        return false;
    }
    const double magnitude = static_cast<double>(mantissa) / powers_of_ten[fraction];
    value = negative ? -magnitude : magnitude;
    return true;
}

double number_value(std::string_view text);

// The value of a number text as the library makes it: int() without '.',
// 'e' or 'E', else float().
Ref number_object(std::string_view text, bool is_float)
{
    if (!is_float) {
        if (text.size() <= 18) {
            long long value = 0;
            bool negative = false;
            std::size_t i = 0;
            if (text[0] == '+' || text[0] == '-') {
                negative = text[0] == '-';
                i = 1;
            }
            for (; i < text.size(); ++i) {
                value = value * 10 + (text[i] - '0');
            }
            return Ref::checked(PyLong_FromLongLong(negative ? -value : value));
        }
        const std::string buffer(text);
        return Ref::checked(PyLong_FromString(buffer.c_str(), nullptr, 10));
    }
    return Ref::checked(PyFloat_FromDouble(number_value(text)));
}

double number_value(std::string_view text)
{
    double exact = 0.0;
    if (short_decimal(text, exact)) {
        return exact;
    }
    const std::string buffer(text);
    const double value = PyOS_string_to_double(buffer.c_str(), nullptr, nullptr);
    if (value == -1.0 && PyErr_Occurred()) {
        throw_error_set();
    }
    return value;
}

// pandas' conversion of a numeric cell: the int when the value equals it.
Ref pandas_number(std::string_view text, bool is_float)
{
    if (!is_float) {
        return number_object(text, false);
    }
    const double value = number_value(text);
    if (std::isfinite(value) && value == std::floor(value)) {
        return Ref::checked(PyLong_FromDouble(value));
    }
    return Ref::checked(PyFloat_FromDouble(value));
}

// openpyxl's serial conversion; an empty Ref (no error) when it fails the
// way openpyxl then warns about.
Ref serial_to_date(const CellReading& reading, PyObject* number, bool duration)
{
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(reading.from_excel, number, reading.epoch,
                                                         duration ? Py_True : Py_False, nullptr));
    if (!result) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
        }
        else {
            throw_error_set();
        }
    }
    return result;
}

// The serial number as openpyxl converts it for a date style, natively when
// the epoch is one of the two known ones and the date lies well inside the
// datetime range; an empty Ref (no error) when openpyxl would fail.
Ref serial_value(const CellReading& reading, std::string_view text, bool is_float)
{
    if (reading.epoch_kind >= 0 && (is_float || text.size() <= 15)) {
        const double value = number_value(text);
        sheet::SerialDate date;
        if (sheet::serial_date(value, static_cast<sheet::Epoch>(reading.epoch_kind), date)) {
            if (PyDateTimeAPI == nullptr) {
                PyDateTime_IMPORT;
                if (PyDateTimeAPI == nullptr) {
                    throw_error_set();
                }
            }
            if (date.time_only) {
                return Ref::checked(PyTime_FromTime(date.hour, date.minute, date.second, date.microsecond));
            }
            return Ref::checked(PyDateTime_FromDateAndTime(date.year, date.month, date.day, date.hour,
                                                           date.minute, date.second, date.microsecond));
        }
    }
    Ref number = number_object(text, is_float);
    return serial_to_date(reading, number.get(), false);
}

// Serial numbers far from both ends of the datetime range: openpyxl's
// conversion of them cannot fail, whichever epoch.
bool serial_surely_converts(double value, bool duration)
{
    if (duration) {
        return value > -9.0e8 && value < 9.0e8;
    }
    return value > -693000.0 && value < 2957000.0;
}

}  // namespace

int epoch_kind_of(PyObject* epoch)
{
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            throw_error_set();
        }
    }
    if (Py_TYPE(epoch) != PyDateTimeAPI->DateTimeType) {
        return -1;
    }
    auto* moment = reinterpret_cast<PyDateTime_DateTime*>(epoch);
    if (moment->hastzinfo || PyDateTime_DATE_GET_HOUR(epoch) != 0 || PyDateTime_DATE_GET_MINUTE(epoch) != 0 ||
        PyDateTime_DATE_GET_SECOND(epoch) != 0 || PyDateTime_DATE_GET_MICROSECOND(epoch) != 0) {
        return -1;
    }
    const int year = PyDateTime_GET_YEAR(epoch);
    const int month = PyDateTime_GET_MONTH(epoch);
    const int day = PyDateTime_GET_DAY(epoch);
    if (year == 1899 && month == 12 && day == 30) {
        return static_cast<int>(sheet::Epoch::windows_1900);
    }
    if (year == 1904 && month == 1 && day == 1) {
        return static_cast<int>(sheet::Epoch::mac_1904);
    }
    return -1;
}

PandasSheetRows::PandasSheetRows(const CellReading& reading, const ColumnSelection& selection)
    : reading_(reading),
      selection_(selection),
      data_(new_list()),
      empty_row_(new_list()),
      limit_(selection.bounded ? selection.selected.size() : SIZE_MAX)
{
}

bool PandasSheetRows::is_empty_text(const Cell& cell) const
{
    switch (cell.kind) {
    case Kind::empty:
        return true;
    case Kind::shared:
        return reading_.empty_strings[static_cast<std::size_t>(cell.shared_index)];
    case Kind::text:
        return cell.text_size == 0;
    default:
        return false;
    }
}

bool PandasSheetRows::check(const Cell& cell, std::string_view arena)
{
    if (cell.kind == Kind::number) {
        const std::uint8_t style = date_style(cell);
        if (style == 0) {
            return true;
        }
        const std::string_view text = cell_text(arena, cell);
        if (serial_surely_converts(number_value(text), style == 2)) {
            return true;
        }
        Ref number = number_object(text, cell.number_is_float);
        return static_cast<bool>(serial_to_date(reading_, number.get(), style == 2));
    }
    if (cell.kind == Kind::iso_date) {
        bool stepped_aside = false;
        Ref converted = value(cell, arena, stepped_aside);
        return !stepped_aside;
    }
    return true;
}

Ref PandasSheetRows::value(const Cell& cell, std::string_view arena, bool& stepped_aside)
{
    stepped_aside = false;
    switch (cell.kind) {
    case Kind::empty:
        return Ref::borrow(names.empty_text);
    case Kind::number: {
        const std::string_view text = cell_text(arena, cell);
        const std::uint8_t style = date_style(cell);
        if (style == 0) {
            return pandas_number(text, cell.number_is_float);
        }
        Ref date;
        if (style == 1) {
            date = serial_value(reading_, text, cell.number_is_float);
        }
        else {
            Ref number = number_object(text, cell.number_is_float);
            date = serial_to_date(reading_, number.get(), true);
        }
        stepped_aside = !date;
        return date;
    }
    case Kind::shared:
        return Ref::borrow(PyTuple_GET_ITEM(reading_.strings, static_cast<Py_ssize_t>(cell.shared_index)));
    case Kind::boolean:
        return Ref::borrow(cell.shared_index ? Py_True : Py_False);
    case Kind::error:
        return Ref::borrow(reading_.nan);
    case Kind::text: {
        const std::string_view text = cell_text(arena, cell);
        return Ref::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    }
    case Kind::iso_date: {
        const std::string_view text = cell_text(arena, cell);
        Ref argument =
            Ref::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
        Ref date = Ref::steal(PyObject_CallFunctionObjArgs(reading_.from_iso8601, argument.get(), nullptr));
        if (!date) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                throw_error_set();
            }
            // The library raises it again when it reads the sheet itself.
            PyErr_Clear();
            stepped_aside = true;
        }
        return date;
    }
    }
    return Ref::borrow(names.empty_text);
}

bool PandasSheetRows::row(std::int64_t number, std::span<const Cell> cells, std::string_view arena)
{
    // Cells of rows the library skips are still read by it.
    for (const Cell& cell : cells) {
        if (!check(cell, arena)) {
            stepped_aside_ = true;
            return false;
        }
    }
    if (number < counter_) {
        return true;  // a row out of order or repeated: the library skips it
    }
    for (; counter_ < number; ++counter_) {
        list_append(data_.get(), empty_row_.get());
    }
    ++counter_;
    if (cells.empty()) {
        list_append(data_.get(), empty_row_.get());
        return true;
    }
    // The row is as wide as its last cell's column; of two cells in one
    // column the later one counts.
    const std::uint32_t row_width = cells.back().column;
    resolved_.clear();
    bool ordered = true;
    for (const Cell& cell : cells) {
        if (cell.column > row_width) {
            continue;
        }
        if (!resolved_.empty() && cell.column <= resolved_.back()->column) {
            ordered = false;
        }
        resolved_.push_back(&cell);
    }
    if (!ordered) {
        std::stable_sort(resolved_.begin(), resolved_.end(),
                         [](const Cell* a, const Cell* b) { return a->column < b->column; });
        std::size_t kept = 0;
        for (std::size_t i = 0; i < resolved_.size(); ++i) {
            if (kept > 0 && resolved_[kept - 1]->column == resolved_[i]->column) {
                resolved_[kept - 1] = resolved_[i];
            }
            else {
                resolved_[kept++] = resolved_[i];
            }
        }
        resolved_.resize(kept);
    }
    // pandas trims trailing "" values.
    std::size_t width = 0;
    for (auto it = resolved_.rbegin(); it != resolved_.rend(); ++it) {
        if (!is_empty_text(**it)) {
            width = (*it)->column;
            break;
        }
    }
    if (width == 0) {
        list_append(data_.get(), empty_row_.get());
        return true;
    }
    last_row_with_data_ = PyList_GET_SIZE(data_.get());
    max_width_ = std::max(max_width_, width);
    const std::size_t shown = std::min(width, limit_);
    Ref values = Ref::checked(PyList_New(static_cast<Py_ssize_t>(shown)));
    for (std::size_t c = 0; c < shown; ++c) {
        Py_INCREF(names.empty_text);
        PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(c), names.empty_text);
    }
    for (const Cell* cell : resolved_) {
        const std::size_t index = cell->column - 1;
        if (index >= shown || (selection_.bounded && !selection_.selected[index])) {
            continue;
        }
        bool stepped_aside = false;
        Ref item = value(*cell, arena, stepped_aside);
        if (stepped_aside) {
            stepped_aside_ = true;
            return false;
        }
        PyObject* old = PyList_GET_ITEM(values.get(), static_cast<Py_ssize_t>(index));
        PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(index), item.release());
        Py_DECREF(old);
    }
    // A row holds only str, int, float, bool, date and time values, none of
    // which can refer back to it, and only pandas' parser reads it: the
    // cyclic collector has nothing to find in it. Tracked, the rows of a
    // large sheet made every collection during the read walk all of them.
    PyObject_GC_UnTrack(values.get());
    list_append(data_.get(), values.get());
    return true;
}

Ref PandasSheetRows::finish()
{
    if (stepped_aside_) {
        return Ref();
    }
    // Trailing rows without a value go; the others are padded to the width
    // of the widest (or what the selection needs, when that is less).
    const Py_ssize_t kept_rows = last_row_with_data_ + 1;
    check_status(PyList_SetSlice(data_.get(), kept_rows, PyList_GET_SIZE(data_.get()), nullptr));
    const std::size_t final_width = std::min(max_width_, limit_);
    // The rows without a value are one list: pandas' parser only reads the
    // rows (the engine's rows reach no code that changes them), and a sheet
    // with a far stray value has a million of them.
    Ref padded_empty;
    for (Py_ssize_t i = 0; i < kept_rows; ++i) {
        PyObject* row = PyList_GET_ITEM(data_.get(), i);
        const Py_ssize_t length = PyList_GET_SIZE(row);
        if (static_cast<std::size_t>(length) >= final_width) {
            continue;
        }
        if (length == 0) {
            if (!padded_empty) {
                padded_empty = Ref::checked(PyList_New(static_cast<Py_ssize_t>(final_width)));
                for (Py_ssize_t c = 0; c < static_cast<Py_ssize_t>(final_width); ++c) {
                    Py_INCREF(names.empty_text);
                    PyList_SET_ITEM(padded_empty.get(), c, names.empty_text);
                }
            }
            check_status(PyList_SetItem(data_.get(), i, padded_empty.dup().release()));
            continue;
        }
        // A row with values is this reading's own list (made in row()), so
        // it is padded in place.
        for (Py_ssize_t c = length; c < static_cast<Py_ssize_t>(final_width); ++c) {
            list_append(row, names.empty_text);
        }
    }
    return std::move(data_);
}

}  // namespace xt
