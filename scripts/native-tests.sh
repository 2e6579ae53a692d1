# The test files that drive the native code paths: the routes' differential
# tests (every route against the plain library calls), the hostile-input and
# crash-safety cases, the readers', merge's and writer's own tests and the call
# layer. Left out: the library guard's digest tables, the module's set-up,
# the demo and the addressing formulas, which hold no path of their own. The sanitizer and clang builds run these (sourced by their scripts)
# rather than the whole suite again.
native_tests=(
    tests/test_excel_route_differential.py
    tests/test_format_fast_path.py
    tests/test_cells_route.py
    tests/test_save_route.py
    tests/test_hostile_inputs.py
    tests/test_crash_safety.py
    tests/test_excel_reader.py
    tests/test_csv_reader.py
    tests/test_merge.py
    tests/test_writer.py
    tests/test_call_interface.py
    tests/test_parse_cell_native.py
)
