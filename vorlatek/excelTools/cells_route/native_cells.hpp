// The native route of a frame's to_excel call in write_formatted_excel.
//
// pandas writes a frame into an openpyxl sheet one value at a time: its
// formatter yields an ExcelCell per value, the writer's _write_cells makes
// an openpyxl cell for each and sets its value through the value setter
// (several Python calls per value). The route lets pandas do everything it
// does for a frame (to_excel, the formatter, the sheet's creation or reuse,
// the header and index cells with their styles) except the body: while
// to_excel runs, the writer's _write_cells is stood in for by a function
// that hands pandas' own _write_cells a formatter whose body generator
// yields nothing, and then places the body itself (body_cells.hpp), into
// the sheet pandas just wrote the header to, in pandas' order.
//
// It is taken only for a plain DataFrame written through pandas' own
// openpyxl writer, with the module's `pd` being pandas itself and pandas'
// and openpyxl's pieces unchanged since their first use; the stand-in
// checks again that what to_excel hands it is pandas' own formatter and
// generator with the settings reproduced here. Anything else is the plain
// call, and pandas' own _write_cells with the arguments as given.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "../core/pyapi.hpp"
#include "../core/ref.hpp"

namespace xt {

// to_excel(writer, **keywords), the bound method of `frame_object`.
Ref call_to_excel(PyObject* to_excel, PyObject* frame_object, PyObject* writer,
                  std::initializer_list<Keyword> keywords);

}  // namespace xt
