// Widths of CSV lines: what pandas' tokenizer says about a line wider than
// the first, and a counter that finds the widest line of a text the way that
// tokenizer splits it (comma, double quotes, blank lines skipped).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace xt {

// "Expected N fields in line L, saw K": a line of K fields after a first
// line of N. Only K > N counts as such an error.
struct WidthError {
    Py_ssize_t expected;
    Py_ssize_t seen;
};

// The width error that `message` reports, if it reports one.
std::optional<WidthError> width_error_in(std::string_view message);

// Counts the fields of every line of a CSV text fed in pieces and keeps the
// largest count. It follows pandas' C tokenizer with its defaults: ',' ends a
// field; '"' opens a quoted field only at a field's start, and "" inside one
// is a literal quote; "\n", "\r" and "\r\n" end a line outside quotes; lines
// that are empty or hold only blanks and tabs are skipped, as is a leading
// byte order mark.
//
// One case it declines: a line that follows a lone "\r" and begins with
// blanks. pandas then searches back for a "\n" to start the line again and
// finds an earlier one (or the start of its buffer), tokenizing text twice;
// no count of the file's lines predicts that, so the counter reports 0.
class FieldCounter {
public:
    // `text` must be a str; pieces may split anywhere, even inside "\r\n".
    void feed(PyObject* text) noexcept;
    // The widest line's field count once the whole text was fed, or 0 when
    // it cannot tell (see above).
    Py_ssize_t finish() noexcept;

private:
    enum class State : std::uint8_t {
        start_record,
        whitespace_line,
        start_field,
        in_field,
        in_quoted_field,
        quote_in_quoted_field,
        eat_crnl,
        eat_crnl_nop,
    };

    void step(Py_UCS4 c) noexcept;
    void end_field() noexcept { ++fields_; }
    void end_line() noexcept;

    State state_ = State::start_record;
    bool at_start_ = true;
    bool after_lone_cr_ = false;  // the current line began after a lone "\r"
    bool unsure_ = false;
    Py_ssize_t fields_ = 0;
    Py_ssize_t widest_ = 0;
};

}  // namespace xt
