// Cell addressing: parse_cell splits "F3" into ("F", 3); col_str_to_index
// turns column letters into a zero-based index (A=0, Z=25, AA=26).
#include <Python.h>

#include <cstdint>

#include "cell_address.hpp"

#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../library_check/lookup.hpp"

namespace xt {

namespace {

Ref pair(PyObject* first, PyObject* second)
{
    return Ref::checked(PyTuple_Pack(2, first, second));
}

Ref small_int(long value) { return Ref::checked(PyLong_FromLong(value)); }

}  // namespace

namespace {

PyObject* genuine_re = nullptr;        // strong, for the process
PyObject* genuine_re_match = nullptr;  // strong, for the process

bool is_ascii_letter(Py_UCS4 c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// What re.match(r"([A-Za-z]+)(\d+)", text) followed by the upper-casing and
// int() gives, computed directly. The letter run and the digit run cannot
// overlap, so the greedy match is simply the longest run of leading ASCII
// letters followed by the whole run of decimal digits (\d is any character
// of the Unicode decimal-digit category, as int() reads them).
Ref parse_natively(CallFrame& frame, PyObject* text)
{
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t letters_end = 0;
    while (letters_end < length && is_ascii_letter(PyUnicode_READ(kind, data, letters_end))) {
        ++letters_end;
    }
    Py_ssize_t digits_end = letters_end;
    while (digits_end < length && Py_UNICODE_ISDECIMAL(PyUnicode_READ(kind, data, digits_end))) {
        ++digits_end;
    }
    if (letters_end == 0 || digits_end == letters_end) {
        return pair(Py_None, Py_None);
    }
    frame.at(17);
    Ref letters = Ref::checked(PyUnicode_New(letters_end, 127));
    auto* out = static_cast<Py_UCS1*>(PyUnicode_DATA(letters.get()));
    bool ascii_digits = digits_end - letters_end <= 18;
    for (Py_ssize_t i = 0; i < letters_end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        out[i] = static_cast<Py_UCS1>(c >= 'a' ? c - ('a' - 'A') : c);
    }
    long long value = 0;
    for (Py_ssize_t i = letters_end; ascii_digits && i < digits_end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        ascii_digits = c >= '0' && c <= '9';
        value = value * 10 + static_cast<long long>(c - '0');
    }
    Ref row;
    if (ascii_digits) {
        row = Ref::checked(PyLong_FromLongLong(value));
    }
    else {
        // Other decimal digits and long runs: int() itself, with its limits.
        Ref digits = Ref::checked(PyUnicode_Substring(text, letters_end, digits_end));
        row = Ref::checked(PyNumber_Long(digits.get()));
    }
    return pair(letters.get(), row.get());
}

}  // namespace

void remember_genuine_regex(PyObject* re_module)
{
    if (genuine_re != nullptr) {
        return;
    }
    Ref match = attribute_or_nothing(re_module, names.match);
    if (!match) {
        return;
    }
    Py_INCREF(re_module);
    genuine_re = re_module;
    genuine_re_match = match.release();
}

Ref parse_cell_body(CallFrame& frame, const BoundArgs& args)
{
    PyObject* cell_str = args[0];
    // match = re.match(r"([A-Za-z]+)(\d+)", str(cell_str))
    frame.at(15);
    Ref re_module = lookup_global(names.re);
    Ref match_function = get_attr(re_module.get(), names.match);
    Ref cell_text = PyUnicode_CheckExact(cell_str) ? Ref::borrow(cell_str)
                                                   : Ref::checked(PyObject_Str(cell_str));
    if (re_module.get() == genuine_re && match_function.get() == genuine_re_match &&
        PyUnicode_CheckExact(cell_text.get())) {
        return parse_natively(frame, cell_text.get());
    }
    Ref match = call(match_function.get(), {names.cell_pattern, cell_text.get()});
    frame.at(16);
    if (!is_true(match.get())) {
        return pair(Py_None, Py_None);
    }
    // return match.group(1).upper(), int(match.group(2))
    frame.at(17);
    Ref letters = call_method(match.get(), names.group, {small_int(1).get()});
    Ref upper_letters = call_method(letters.get(), names.upper);
    Ref digits = call_method(match.get(), names.group, {small_int(2).get()});
    Ref row = Ref::checked(PyNumber_Long(digits.get()));
    return pair(upper_letters.get(), row.get());
}

namespace {

// The running index: exact in 64 bits while it fits, then in Python ints, so
// letter strings of any length give the exact value.
// Ints are immutable, so the indices of real sheet columns (A to XFD) are
// made once and shared; this keeps col_str_to_index close to the cost of len().
constexpr int64_t cached_columns = 16384;
PyObject* column_numbers[cached_columns] = {};

Ref column_number(int64_t value)
{
    if (value < 0 || value >= cached_columns) {
        return Ref::checked(PyLong_FromLongLong(value));
    }
    PyObject*& slot = column_numbers[value];
    if (slot == nullptr) {
        slot = PyLong_FromLongLong(value);
        if (slot == nullptr) {
            throw_error_set();
        }
    }
    return Ref::borrow(slot);
}

class ColumnIndex {
public:
    // index = index * 26 + (code_point - 65) + 1
    void push(Py_UCS4 code_point)
    {
        const int64_t digit = static_cast<int64_t>(code_point) - 64;
        if (!big_) {
            int64_t scaled = 0;
            int64_t next = 0;
            if (!__builtin_mul_overflow(small_, int64_t{26}, &scaled) &&
                !__builtin_add_overflow(scaled, digit, &next)) {
                small_ = next;
                return;
            }
            big_ = Ref::checked(PyLong_FromLongLong(small_));
        }
        Ref radix = small_int(26);
        Ref scaled = Ref::checked(PyNumber_Multiply(big_.get(), radix.get()));
        Ref step = Ref::checked(PyLong_FromLongLong(digit));
        big_ = Ref::checked(PyNumber_Add(scaled.get(), step.get()));
    }

    Ref minus_one()
    {
        int64_t result = 0;
        if (!big_ && !__builtin_sub_overflow(small_, int64_t{1}, &result)) {
            return column_number(result);
        }
        if (!big_) {
            big_ = Ref::checked(PyLong_FromLongLong(small_));
        }
        Ref one = small_int(1);
        return Ref::checked(PyNumber_Subtract(big_.get(), one.get()));
    }

private:
    int64_t small_ = 0;
    Ref big_;
};

}  // namespace

Ref col_str_to_index_body(CallFrame& frame, const BoundArgs& args)
{
    PyObject* col_str = args[0];
    if (PyUnicode_GET_LENGTH(col_str) == 0) {
        return small_int(-1);
    }
    ColumnIndex index;
    frame.at(71);
    if (PyUnicode_IS_ASCII(col_str)) {
        // For ASCII text str.upper maps exactly a-z to A-Z.
        const auto* chars = static_cast<const unsigned char*>(PyUnicode_DATA(col_str));
        const Py_ssize_t length = PyUnicode_GET_LENGTH(col_str);
        frame.at(72);
        for (Py_ssize_t i = 0; i < length; ++i) {
            const unsigned char c = chars[i];
            index.push(c >= 'a' && c <= 'z' ? static_cast<Py_UCS4>(c - ('a' - 'A')) : c);
        }
    }
    else {
        // Full Unicode case mapping, which may change the length (ß -> SS).
        Ref upper = call_method(col_str, names.upper);
        if (!PyUnicode_Check(upper.get())) {
            PyErr_SetString(PyExc_TypeError, "str.upper() returned a non-string");
            throw_error_set();
        }
        frame.at(72);
        const int kind = PyUnicode_KIND(upper.get());
        const void* data = PyUnicode_DATA(upper.get());
        const Py_ssize_t length = PyUnicode_GET_LENGTH(upper.get());
        for (Py_ssize_t i = 0; i < length; ++i) {
            index.push(PyUnicode_READ(kind, data, i));
        }
    }
    frame.at(73);
    return index.minus_one();
}

}  // namespace xt
