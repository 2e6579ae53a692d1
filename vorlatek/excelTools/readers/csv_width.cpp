#include "csv_width.hpp"

#include <charconv>

namespace xt {

namespace {

// Reads the decimal number at the front of `rest` and moves past it.
bool take_number(std::string_view& rest, Py_ssize_t& number)
{
    if (rest.empty() || rest.front() < '0' || rest.front() > '9') {
        return false;
    }
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
    if (error != std::errc{}) {
        return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    return true;
}

// Moves past `piece` when `rest` begins with it.
bool take_text(std::string_view& rest, std::string_view piece)
{
    if (rest.substr(0, piece.size()) != piece) {
        return false;
    }
    rest.remove_prefix(piece.size());
    return true;
}

constexpr Py_UCS4 byte_order_mark = 0xFEFF;

}  // namespace

std::optional<WidthError> width_error_in(std::string_view message)
{
    constexpr std::string_view expected_word = "Expected ";
    const std::size_t start = message.find(expected_word);
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = message.substr(start + expected_word.size());
    Py_ssize_t expected = 0;
    Py_ssize_t line = 0;
    Py_ssize_t seen = 0;
    if (!take_number(rest, expected) || !take_text(rest, " fields in line ")
        || !take_number(rest, line) || !take_text(rest, ", saw ") || !take_number(rest, seen)
        || seen <= expected) {
        return std::nullopt;
    }
    return WidthError{expected, seen};
}

void FieldCounter::feed(PyObject* text) noexcept
{
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t k = 0;
    if (at_start_ && length > 0) {
        at_start_ = false;
        if (PyUnicode_READ(kind, data, 0) == byte_order_mark) {
            k = 1;
        }
    }
    for (; k < length; ++k) {
        step(PyUnicode_READ(kind, data, k));
    }
}

Py_ssize_t FieldCounter::finish() noexcept
{
    switch (state_) {
    case State::start_field:
    case State::in_field:
    case State::quote_in_quoted_field:
        end_field();
        end_line();
        break;
    case State::eat_crnl:
        end_line();
        break;
    default:
        // Nothing pending; an unclosed quote is pandas' error to report.
        break;
    }
    return unsure_ ? 0 : widest_;
}

void FieldCounter::end_line() noexcept
{
    if (fields_ > widest_) {
        widest_ = fields_;
    }
    fields_ = 0;
    state_ = State::start_record;
}

void FieldCounter::step(Py_UCS4 c) noexcept
{
    // A state that ends on `c` without taking it lets the next state look at
    // the same character again, as the tokenizer does.
    for (;;) {
        switch (state_) {
        case State::start_record:
            if (c == '\n') {
                after_lone_cr_ = false;
                return;  // a blank line
            }
            if (c == '\r') {
                state_ = State::eat_crnl_nop;
                return;
            }
            if (c == ' ' || c == '\t') {
                state_ = State::whitespace_line;
                return;
            }
            state_ = State::start_field;
            continue;
        case State::whitespace_line:
            if (c == '\n') {
                after_lone_cr_ = false;
                state_ = State::start_record;
                return;
            }
            if (c == '\r') {
                state_ = State::eat_crnl_nop;
                return;
            }
            if (c == ' ' || c == '\t') {
                return;
            }
            // Not a blank line after all: the blanks begin its first field.
            if (after_lone_cr_) {
                unsure_ = true;
            }
            state_ = State::in_field;
            continue;
        case State::start_field:
            if (c == '"') {
                state_ = State::in_quoted_field;
                return;
            }
            if (c != '\n' && c != '\r' && c != ',') {
                state_ = State::in_field;
                return;
            }
            [[fallthrough]];
        case State::in_field:
            if (c == ',') {
                end_field();
                state_ = State::start_field;
            }
            else if (c == '\n') {
                end_field();
                end_line();
                after_lone_cr_ = false;
            }
            else if (c == '\r') {
                end_field();
                state_ = State::eat_crnl;
            }
            return;
        case State::in_quoted_field:
            if (c == '"') {
                state_ = State::quote_in_quoted_field;
            }
            return;
        case State::quote_in_quoted_field:
            if (c == '"') {
                state_ = State::in_quoted_field;  // "" is a literal quote
                return;
            }
            if (c != '\n' && c != '\r' && c != ',') {
                state_ = State::in_field;  // text after the closing quote joins the field
                return;
            }
            state_ = State::in_field;
            continue;
        case State::eat_crnl:
            end_line();
            after_lone_cr_ = c != '\n';
            if (c == '\n') {
                return;
            }
            // A lone "\r" ended the line; `c` begins the next one.
            if (c == ',') {
                end_field();
                state_ = State::start_field;
                return;
            }
            continue;
        case State::eat_crnl_nop:
            // After a skipped line ended by "\r", the tokenizer drops a "\n"
            // and also a comma; any other character starts the next line.
            state_ = State::start_record;
            after_lone_cr_ = c != '\n';
            if (c == '\n' || c == ',') {
                return;
            }
            continue;
        }
    }
}

}  // namespace xt
