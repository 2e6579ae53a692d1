// write_formatted_excel: writes DataFrames to the sheets of a new workbook,
// several per sheet at caller-given positions, styles each sheet right after
// its own writes, and reports success as True or False.
//
// The workbook is written to a temporary file beside `file_path` and renamed
// over it only once the writer has saved and closed it, so a failed call
// never destroys or truncates the workbook the caller had at that path.
#include <Python.h>

#include "../core/compat.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "formatted_writer.hpp"
#include "../format_route/format_sheet.hpp"
#include "../write_session/collector_pause.hpp"
#include "../cells_route/native_cells.hpp"
#include "../write_session/owed_cells.hpp"
#include "../library_check/lookup.hpp"
#include "../library_check/route_guard.hpp"
#include "../save_route/native_save.hpp"
#include "replacement_file.hpp"
#include "workbook_release.hpp"
#include "writer_context.hpp"

namespace xt {

namespace {

// type(writer).<name> is pandas' own code (see owed_cells.hpp: other code
// handed the writer finds every cell made).
void settle_unless_pandas_piece(PyObject* writer, const char* name)
{
    Ref attribute = interned(name);
    PyObject* found = class_attribute(Py_TYPE(writer), attribute.get());
    // Held: telling whether it is the library's code may run Python code.
    Ref piece = found != nullptr ? Ref::borrow(found) : Ref();
    if (!piece || !library_check::is_library_code(piece.get())) {
        settle_owed_cells();
    }
}

// df.to_excel(writer, sheet_name=sheet_name, startrow=..., startcol=..., index=...)
// for every item of a placement list that holds a non-empty frame.
void write_placements(CallFrame& frame, PyObject* writer, PyObject* sheet_name, PyObject* data)
{
    frame.at(276);
    Ref item_iter = get_iter(data);
    Ref zero;
    for (;;) {
        frame.at(276);
        Ref item = next_item(item_iter.get());
        if (!item) {
            break;
        }
        // df = item.get("df")
        frame.at(277);
        Ref df = call_method(item.get(), names.get, {names.df});
        // if df is not None and not df.empty:
        frame.at(278);
        if (df.get() == Py_None) {
            continue;
        }
        if (is_true(get_attr(df.get(), names.empty).get())) {
            continue;
        }
        frame.at(279);
        Ref to_excel = get_attr(df.get(), names.to_excel);
        if (!zero) {
            zero = Ref::checked(PyLong_FromLong(0));
        }
        frame.at(282);
        Ref startrow = call_method(item.get(), names.get, {names.startrow, zero.get()});
        frame.at(283);
        Ref startcol = call_method(item.get(), names.get, {names.startcol, zero.get()});
        frame.at(284);
        Ref index = call_method(item.get(), names.get, {names.index, Py_False});
        frame.at(279);
        call_to_excel(to_excel.get(), df.get(), writer,
                      {{names.sheet_name, sheet_name},
                       {names.startrow, startrow.get()},
                       {names.startcol, startcol.get()},
                       {names.index, index.get()}});
    }
}

// The body of the `with` block: every entry of sheets_data in order, each
// sheet styled right after its own writes.
void write_entries(CallFrame& frame, PyObject* writer, PyObject* sheets_data, bool auto_format)
{
    // for sheet_name, data in sheets_data.items():
    frame.at(268);
    Ref items = call_method(sheets_data, names.items);
    Ref entry_iter = get_iter(items.get());
    for (;;) {
        frame.at(268);
        Ref entry = next_item(entry_iter.get());
        if (!entry) {
            break;
        }
        auto [sheet_name, data] = unpack_pair(entry.get());
        entry.reset();

        // if isinstance(data, pd.DataFrame):
        frame.at(269);
        Ref pd = lookup_global(names.pd);
        Ref frame_class = get_attr(pd.get(), names.DataFrame);
        if (check_status(PyObject_IsInstance(data.get(), frame_class.get())) == 1) {
            frame.at(271);
            if (!is_true(get_attr(data.get(), names.empty).get())) {
                // data.to_excel(writer, sheet_name=sheet_name, index=False)
                frame.at(272);
                Ref to_excel = get_attr(data.get(), names.to_excel);
                call_to_excel(to_excel.get(), data.get(), writer,
                              {{names.sheet_name, sheet_name.get()}, {names.index, Py_False}});
            }
        }
        else {
            // elif isinstance(data, list):
            frame.at(274);
            PyObject* list_type = reinterpret_cast<PyObject*>(&PyList_Type);
            if (check_status(PyObject_IsInstance(data.get(), list_type)) == 1) {
                write_placements(frame, writer, sheet_name.get(), data.get());
            }
        }

        // if auto_format and sheet_name in writer.sheets:
        frame.at(288);
        if (!auto_format) {
            continue;
        }
        settle_unless_pandas_piece(writer, "sheets");
        if (!contains(get_attr(writer, names.sheets).get(), sheet_name.get())) {
            continue;
        }
        // format_excel_sheet(writer.sheets[sheet_name])
        frame.at(289);
        Ref formatter = lookup_global(names.format_excel_sheet);
        if (!is_module_function(formatter.get(), format_excel_sheet_body)) {
            // A replaced formatter may look at any sheet.
            settle_owed_cells();
        }
        Ref sheets = get_attr(writer, names.sheets);
        Ref worksheet = get_item(sheets.get(), sheet_name.get());
        call(formatter.get(), {worksheet.get()});
    }
}

// The save route for the exit that follows a failure, the failure kept
// pending; an interrupt while setting it up goes on instead, after it.
void route_save_after_failure(PyObject* writer)
{
    PendingError failure;
    try {
        // What the failure's traceback holds may reach the workbook.
        settle_owed_cells();
        // Taken or declined, the exit saves the workbook.
        static_cast<void>(route_save_natively(writer));
        failure.restore();
    }
    catch (const PyErrorSet&) {
        PendingError interrupt;
        if (interrupt.value() != nullptr && failure.value() != nullptr) {
            Py_INCREF(failure.value());
            PyException_SetContext(interrupt.value(), failure.value());
        }
        interrupt.restore();
    }
}

// with pd.ExcelWriter(<temporary file>, engine="openpyxl") as writer: ...
// then the finished file replaces file_path. Returns the error of a failed
// directory flush after the replacement (see ReplacementFile::commit), or
// an empty Ref.
Ref write_workbook(CallFrame& frame, PyObject* file_path, PyObject* sheets_data,
                    bool auto_format, Ref& finished_writer)
{
    frame.at(267);
    Ref pd = lookup_global(names.pd);
    Ref writer_class = get_attr(pd.get(), names.ExcelWriter);
    ReplacementFile target;
    target.create(file_path);
    Ref manager =
        call(writer_class.get(), {target.temp_path()}, {{names.engine, names.openpyxl}});
    WriterContext context(std::move(manager));
    Ref writer = context.enter();
    if (pandas_openpyxl_writer(writer.get())) {
        // Nothing but the write reaches this workbook: empty grid cells may
        // stay unmade (see owed_cells.hpp).
        WritePause::owed()->allow();
    }
    bool suppressed = false;
    try {
        write_entries(frame, writer.get(), sheets_data, auto_format);
        // The exit's save writes the sheets' rows natively where it can. It
        // is set up only now, once the caller's code (a replaced formatter)
        // has run, so that no copy of the workbook made there carries it.
        if (route_save_natively(writer.get()) == RouteOutcome::declined) {
            settle_owed_cells();
        }
        for (const char* exit_step : {"__exit__", "close", "_save"}) {
            settle_unless_pandas_piece(writer.get(), exit_step);
        }
    }
    catch (const PyErrorSet&) {
        // Leaving the block with the exception: the writer's exit runs (and
        // saves what was written); the exception goes on, from where it was
        // raised, unless the exit suppresses it.
        const int raised_at = frame.line;
        frame.at(267);
        route_save_after_failure(writer.get());
        if (!context.exit_with_pending_error()) {
            frame.at(raised_at);
            throw;
        }
        suppressed = true;
    }
    if (!suppressed) {
        frame.at(267);
        context.exit_normally();
    }
    Ref unflushed = target.commit();
    finished_writer = std::move(writer);
    return unflushed;
}

// The holes of a finished write that something still reaches. The write
// has succeeded; a failure here (out of memory) is reported as unraisable.
void made_after_write(const OwedCells::Grids& owed)
{
    try {
        OwedCells::make(owed, nullptr);
    }
    catch (const PyErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        PyErr_WriteUnraisable(nullptr);
    }
}

}  // namespace

Ref write_formatted_excel_body(CallFrame& frame, const BoundArgs& args)
{
    PyObject* file_path = args[0];
    PyObject* sheets_data = args[1];
    const bool auto_format = args[2] == Py_True;

    frame.at(262);
    if (!is_true(sheets_data)) {
        frame.at(263);
        log_message(names.warning, names.no_data_message);
        return Ref::borrow(Py_False);
    }
    Ref unflushed;
    try {
        Ref finished_writer;
        OwedCells::Grids owed;
        {
            // Ends once the writer is closed (see WritePause).
            WritePause pause;
            unflushed = write_workbook(frame, file_path, sheets_data, auto_format, finished_writer);
            if (WritePause::current()->held_count() >= release_worth) {
                collect_young_garbage();
            }
            else {
                finished_writer.reset();  // a small workbook is left to the collector
            }
            owed = WritePause::owed()->take_grids();
        }
        if (release_written_workbook(std::move(finished_writer), owed)) {
            // Something may keep hold of the workbook: it finds every cell.
            made_after_write(owed);
        }
    }
    catch (const PyErrorSet&) {
        // except Exception as e: anything else (an interrupt) goes on, its
        // traceback naming the line it came from.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        frame.at(292);
        PendingError caught;
        // log.error(f"Failed to write formatted excel to {file_path}: {e}")
        frame.at(293);
        Ref reason = text_of(caught.value());
        Ref message = concat({names.write_failed_prefix, file_path, names.write_failed_separator,
                              reason.get()});
        log_message(names.error, message.get());
        return Ref::borrow(Py_False);
    }
    if (unflushed) {
        // The new workbook is in place and its content on disk; only the
        // directory entry may not survive a crash. The write took effect, so
        // it is reported as done, with a warning for whoever runs the host.
        frame.at(267);
        Ref reason = text_of(unflushed.get());
        Ref message = concat(
            {names.unflushed_prefix, file_path, names.unflushed_separator, reason.get()});
        log_message(names.warning, message.get());
    }
    return Ref::borrow(Py_True);
}

}  // namespace xt
