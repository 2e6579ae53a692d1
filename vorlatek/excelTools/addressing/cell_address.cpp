// Cell addressing: parse_cell splits "F3" into ("F", 3); col_str_to_index
// turns column letters into a zero-based index (A=0, Z=25, AA=26).
#include <Python.h>

#include <cstdint>

#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../shell/bodies.hpp"

namespace xt {

namespace {

Ref pair(PyObject* first, PyObject* second)
{
    return Ref::checked(PyTuple_Pack(2, first, second));
}

Ref small_int(long value) { return Ref::checked(PyLong_FromLong(value)); }

}  // namespace

Ref parse_cell_body(CallFrame& frame, const BoundArgs& args)
{
    PyObject* cell_str = args[0];
    // match = re.match(r"([A-Za-z]+)(\d+)", str(cell_str))
    frame.at(15);
    Ref re_module = lookup_global(names.re);
    Ref match_function = get_attr(re_module.get(), names.match);
    Ref cell_text = PyUnicode_CheckExact(cell_str) ? Ref::borrow(cell_str)
                                                   : Ref::checked(PyObject_Str(cell_str));
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
            return Ref::checked(PyLong_FromLongLong(result));
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
