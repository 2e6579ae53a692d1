#include "csv_widening.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "../core/compat.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "csv_width.hpp"

namespace xt {

namespace {

// How the width is found, cheaply and within a fixed number of passes:
// - pandas' own error names the first line wider than the first one. For the
//   usual export (a title line above one table) that is the table's width,
//   so a single further read, one pass over the file, finishes the job; the
//   failed read stopped early, at the first wide line.
// - Should that read meet a still wider line, one counting pass over the
//   decoded text finds the widest line at once, instead of one read per new
//   width (a file growing by a field per line would otherwise take a read per
//   line).
// - pandas stays the judge: if it still reports a wider line, its count is
//   taken. After max_widened_reads reads the file counts as unreadable, like
//   any other file the parser refuses.
constexpr int max_widened_reads = 4;
constexpr long counting_chunk_chars = 1L << 20;

std::optional<WidthError> width_error_of(PyObject* error)
{
    Ref text = Ref::checked(PyObject_Str(error));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (utf8 == nullptr) {
        throw_error_set();
    }
    return width_error_in(std::string_view(utf8, static_cast<std::size_t>(size)));
}

// The width error of pandas' tokenizer: its text, and pd.errors.ParserError
// as its type. The text is looked at first, so other failures never need
// the lookup.
std::optional<WidthError> pandas_width_error(PyObject* error)
{
    std::optional<WidthError> width = width_error_of(error);
    if (!width) {
        return std::nullopt;
    }
    Ref pandas = lookup_global(names.pd);
    Ref errors = get_attr(pandas.get(), names.errors);
    Ref parser_error = get_attr(errors.get(), names.ParserError);
    if (check_status(PyObject_IsInstance(error, parser_error.get())) == 0) {
        return std::nullopt;
    }
    return width;
}

// pandas decompresses a file whose name ends so; its text is then not the
// file's own, and counting the file's bytes would say nothing about it.
bool named_as_compressed(PyObject* file_path)
{
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(file_path, &size);
    if (utf8 == nullptr) {
        throw_error_set();
    }
    std::string tail(utf8 + size - std::min<Py_ssize_t>(size, 8), utf8 + size);
    std::transform(tail.begin(), tail.end(), tail.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    for (std::string_view ending : {".gz", ".bz2", ".zip", ".xz", ".zst", ".tar"}) {
        if (tail.size() >= ending.size() && tail.compare(tail.size() - ending.size(), ending.size(), ending) == 0) {
            return true;
        }
    }
    return false;
}

// Closes `file` while an exception is pending; the pending one survives an
// ordinary failure of the close, an interrupt during it replaces it.
void close_after_error(PyObject* file)
{
    PendingError failure;
    try {
        call_method(file, names.close_method);
    }
    catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        PyErr_Clear();
    }
    failure.restore();
}

void count_fields(PyObject* file, FieldCounter& counter)
{
    Ref chunk_size = Ref::checked(PyLong_FromLong(counting_chunk_chars));
    for (;;) {
        Ref chunk = call_method(file, names.read, {chunk_size.get()});
        if (!PyUnicode_Check(chunk.get())) {
            PyErr_SetString(PyExc_TypeError, "reading the file gave no text");
            throw_error_set();
        }
        if (PyUnicode_GET_LENGTH(chunk.get()) == 0) {
            return;
        }
        counter.feed(chunk.get());
    }
}

// The widest line's field count, read with open(file_path, encoding=...,
// newline="") so that "\r" reaches the counter as pandas sees it. 0 when the
// count cannot be had; pandas' own counts then lead on.
Py_ssize_t widest_line_of(PyObject* file_path, PyObject* encoding)
{
    try {
        if (named_as_compressed(file_path)) {
            return 0;
        }
        Ref open = lookup_global(names.open);
        Ref file = call(open.get(), {file_path},
                        {{names.encoding, encoding}, {names.newline, names.empty_text}});
        FieldCounter counter;
        try {
            count_fields(file.get(), counter);
        }
        catch (const PyErrorSet&) {
            close_after_error(file.get());
            throw;
        }
        call_method(file.get(), names.close_method);
        return counter.finish();
    }
    catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        PyErr_Clear();
        return 0;
    }
}

// pd.read_csv(file_path, header=None, encoding=encoding, dtype=str, names=range(width))
Ref read_with_width(PyObject* file_path, PyObject* encoding, Py_ssize_t width)
{
    Ref width_value = Ref::checked(PyLong_FromSsize_t(width));
    Ref labels = call(reinterpret_cast<PyObject*>(&PyRange_Type), {width_value.get()});
    Ref pandas = lookup_global(names.pd);
    Ref read_csv = get_attr(pandas.get(), names.read_csv);
    return call(read_csv.get(), {file_path},
                {{names.header, Py_None},
                 {names.encoding, encoding},
                 {names.dtype, reinterpret_cast<PyObject*>(&PyUnicode_Type)},
                 {names.names, labels.get()}});
}

Ref read_until_wide_enough(PyObject* file_path, PyObject* encoding, Py_ssize_t width)
{
    bool counted = false;
    for (int reads = 1;; ++reads) {
        try {
            return read_with_width(file_path, encoding, width);
        }
        catch (const PyErrorSet&) {
            if (reads == max_widened_reads || !PyErr_ExceptionMatches(PyExc_Exception)) {
                throw;
            }
            PendingError failure;
            const std::optional<WidthError> wider = pandas_width_error(failure.value());
            if (!wider || wider->seen <= width) {
                failure.restore();
                throw;
            }
            width = wider->seen;
            if (!counted) {
                counted = true;
                width = std::max(width, widest_line_of(file_path, encoding));
            }
        }
    }
}

}  // namespace

WidenedRead read_as_wide_as_widest_line(PyObject* file_path, PyObject* encoding,
                                        PyObject* first_error)
{
    try {
        const std::optional<WidthError> first = pandas_width_error(first_error);
        if (!first) {
            return {WidenedOutcome::not_widened, Ref()};
        }
        return {WidenedOutcome::read, read_until_wide_enough(file_path, encoding, first->seen)};
    }
    catch (const PyErrorSet&) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            return {WidenedOutcome::next_encoding, Ref()};
        }
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        PyErr_Clear();
        return {WidenedOutcome::not_widened, Ref()};
    }
}

}  // namespace xt
