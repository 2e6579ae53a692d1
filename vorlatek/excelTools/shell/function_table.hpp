// What the module declares about its seven functions: parameters, defaults,
// annotations, docstrings, source lines, code-object locals, and the body.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "../core/call_frame.hpp"
#include "../core/ref.hpp"

namespace xt {

// The test the call interface applies to an argument before the body runs.
enum class ArgCheck : unsigned char {
    any,           // no test
    exact_str,     // exactly str
    exact_dict,    // exactly dict
    list_or_none,  // exactly list, or None
    exact_tuple,   // exactly tuple
    truth,         // reduced to True or False, before all other tests
};

struct ParamSpec {
    const char* name;
    ArgCheck check;
    // Slot of the fixed default; nullptr for a required parameter.
    PyObject* const* default_value;
    // Text of the annotation; nullptr when the parameter has none.
    const char* annotation;
};

struct FunctionSpec {
    const char* name;
    const char* qualified_name;  // "vorlatek.excelTools.<name>" for tracebacks
    int first_line;
    const char* doc;
    std::size_t param_count;
    std::size_t required_count;
    std::array<ParamSpec, max_params> params;
    const char* return_annotation;  // nullptr when there is none
    const char* const* locals;      // every local name, parameters first
    std::size_t local_count;
    Body body;
};

enum FunctionIndex : std::size_t {
    fn_parse_cell,
    fn_read_excel_by_cells,
    fn_col_str_to_index,
    fn_read_csv_by_cells,
    fn_merge_exact_match,
    fn_format_excel_sheet,
    fn_write_formatted_excel,
    function_count,
};

extern const std::array<FunctionSpec, function_count> function_table;

// Constant defaults, made by make_default_constants() during initialisation.
struct DefaultConstants {
    PyObject* inner;         // "inner"
    PyObject* suffixes;      // ("_x", "_y")
};
extern DefaultConstants default_constants;
bool make_default_constants() noexcept;

}  // namespace xt
