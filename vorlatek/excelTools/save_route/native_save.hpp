// The native save route of write_formatted_excel.
//
// pandas' openpyxl writer saves its workbook with `book.save(handle)` when
// the `with` block ends. For the genuine pandas writer over a genuine
// openpyxl workbook, the route gives that one workbook an instance
// attribute `save` which, when the pieces it relies on are still as found,
// runs openpyxl's own save with one difference: each worksheet whose cells
// are all of kinds reproduced exactly has its rows (the sheetData content)
// serialised natively, straight into the sheet's archive member when the
// archive is the route's own (see sheet_member.hpp), otherwise into a spool
// file spliced into the part openpyxl writes around them. Every other sheet, and the whole save when anything
// is not as expected, takes openpyxl's plain code. The file is the same
// byte for byte.
#pragma once

#include <Python.h>

#include "../core/route_outcome.hpp"

namespace xt {

// Called just before the pandas writer's exit, after every frame was
// written and formatted. Installs the route on its workbook when pd, the
// writer and the workbook are the genuine ones (`taken`); declines, doing
// nothing, otherwise. Ordinary errors while looking are swallowed; an
// interrupt is passed on as PyErrorSet.
RouteOutcome route_save_natively(PyObject* writer);

// Whether the module's pd is pandas itself and `writer` pandas' own openpyxl
// writer, as the route knows them. Ordinary errors count as "no".
bool pandas_openpyxl_writer(PyObject* writer);

// The native methods of the route's WorksheetWriter subclass (write_rows
// and write), ended by an entry without a name.
PyMethodDef* sheet_writer_method_definitions() noexcept;

}  // namespace xt
