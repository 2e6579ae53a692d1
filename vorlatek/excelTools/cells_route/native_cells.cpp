// The native route of a frame's to_excel call (see native_cells.hpp).
#include "native_cells.hpp"

#include <memory>
#include <vector>

#include "../core/compat.hpp"
#include "../core/error.hpp"
#include "../core/names.hpp"
#include "../library_check/lookup.hpp"
#include "../library_check/route_guard.hpp"
#include "body_cells.hpp"
#include "../libraries/cell_layout.hpp"
#include "../write_session/owed_cells.hpp"
#include "../libraries/pandas_layout.hpp"

namespace xt {

namespace {

// What the stand-ins share with the to_excel call they belong to. A stand-in
// reaches it only while that call runs; afterwards `route` is null and a
// stand-in does exactly what the function it stands in for does.
struct Route {
    const PandasLayout* pandas;
    PyObject* writer;  // borrowed from the caller for the call's length
    bool used = false;
};

struct Link {
    Route* route = nullptr;
    Ref writer;    // for a stand-in called after its route ended
    Ref function;  // pandas' own function it stands in for
    // The body generator's stand-in: what it was called with.
    bool called = false;
    Ref coloffset;
};

constexpr const char* link_name = "vorlatek.excelTools.cell_route";

void delete_link(PyObject* capsule) noexcept
{
    delete static_cast<Link*>(PyCapsule_GetPointer(capsule, link_name));
}

Link* link_of(PyObject* capsule)
{
    auto* link = static_cast<Link*>(PyCapsule_GetPointer(capsule, link_name));
    if (link == nullptr) {
        throw_error_set();
    }
    return link;
}

// The instance dict of `obj` (which must have one).
Ref instance_dict(PyObject* obj)
{
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) {
        throw_error_set();
    }
    return dict;
}

// Removes `name` from `dict` if it still holds `value` there; keeps a
// pending exception as it is. An ordinary failure of the removal is
// dropped. The lookup may run Python code (the __eq__ of a key of the same
// hash): an interrupt (anything not derived from Exception) raised there is
// pending afterwards instead, the earlier exception as its __context__, as
// an exception raised in a `finally` block replaces the one in flight.
void take_away(PyObject* dict, PyObject* name, PyObject* value) noexcept
{
    PendingError saved;
    PyObject* held = PyDict_GetItemWithError(dict, name);
    if (held == value) {
        PyDict_DelItem(dict, name);  // a failure is looked at below
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            if (saved.value() != nullptr) {
                PendingError interrupt;
                if (interrupt.value() != saved.value()) {
                    Py_INCREF(saved.value());
                    PyException_SetContext(interrupt.value(), saved.value());
                }
                interrupt.restore();
            }
            return;
        }
        PyErr_Clear();
    }
    saved.restore();
}

// take_away() where nothing is pending: an interrupt it met goes on.
void take_away_checked(PyObject* dict, PyObject* name, PyObject* value)
{
    take_away(dict, name, value);
    if (PyErr_Occurred()) {
        throw_error_set();
    }
}

// A native function object bound to a new Link; the Link is the function's
// own (freed with it).
Ref linked_function(PyMethodDef* def, std::unique_ptr<Link>& link)
{
    Ref capsule = Ref::checked(PyCapsule_New(link.get(), link_name, delete_link));
    link.release();
    return Ref::checked(PyCFunction_NewEx(def, capsule.get(), nullptr));
}

// function(self_object, *args, **kwargs)
Ref forward(PyObject* function, PyObject* self_object, PyObject* args, PyObject* kwargs)
{
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    Ref full = Ref::checked(PyTuple_New(count + 1));
    Py_INCREF(self_object);
    PyTuple_SET_ITEM(full.get(), 0, self_object);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        Py_INCREF(item);
        PyTuple_SET_ITEM(full.get(), i + 1, item);
    }
    return Ref::checked(PyObject_Call(function, full.get(), kwargs));
}

// --- the body generator's stand-in ---------------------------------------------

// self._generate_body(coloffset): remembers coloffset and yields nothing.
PyObject* record_body(PyObject* capsule, PyObject* coloffset) noexcept
{
    return translate_exceptions(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        Link* link = link_of(capsule);
        if (link->route == nullptr || link->called) {
            // Not the one body the route expects: pandas' own generator.
            return call(link->function.get(), {link->writer.get(), coloffset}).release();
        }
        link->called = true;
        link->coloffset = Ref::borrow(coloffset);
        return PyTuple_New(0);
    });
}

PyMethodDef record_body_def = {"_generate_body", record_body, METH_O, nullptr};

// --- what to_excel hands _write_cells ------------------------------------------

// The formatter of pandas' own get_formatted_cells generator; an empty Ref
// for anything else.
Ref formatter_of(const PandasLayout& pandas, PyObject* cells)
{
    if (!PyGen_CheckExact(cells)) {
        return Ref();
    }
    Ref code = attribute_or_nothing(cells, names.gi_code);
    if (!code || code.get() != pandas.formatted_cells_code.get()) {
        return Ref();
    }
    Ref frame = attribute_or_nothing(cells, names.gi_frame);
    if (!frame || frame.get() == Py_None) {
        return Ref();
    }
    Ref locals = attribute_or_nothing(frame.get(), names.f_locals);
    if (!locals) {
        return Ref();
    }
    Ref formatter = Ref::steal(PyObject_GetItem(locals.get(), names.self));
    if (!formatter) {
        swallow_ordinary_error();
        return Ref();
    }
    if (Py_TYPE(formatter.get()) != as_type(pandas.formatter_type)) {
        return Ref();
    }
    // A plain frame's formatter: no Styler behind it.
    Ref styler = attribute_or_nothing(formatter.get(), names.styler);
    if (!styler || styler.get() != Py_None) {
        return Ref();
    }
    return formatter;
}

// _write_cells(cells, sheet_name, startrow=0, startcol=0, freeze_panes=None,
// autofilter_range=None), as pandas calls it: the two first positionally,
// the rest by keyword.
struct CellsCall {
    PyObject* cells = nullptr;
    PyObject* sheet_name = nullptr;
    PyObject* startrow = nullptr;
    PyObject* startcol = nullptr;
};

bool read_cells_call(PyObject* args, PyObject* kwargs, CellsCall& call_args, Ref& zero)
{
    if (PyTuple_GET_SIZE(args) != 2) {
        return false;
    }
    call_args.cells = PyTuple_GET_ITEM(args, 0);
    call_args.sheet_name = PyTuple_GET_ITEM(args, 1);
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                return false;
            }
            if (PyUnicode_Compare(key, names.startrow) == 0) {
                call_args.startrow = value;
            }
            else if (PyUnicode_Compare(key, names.startcol) == 0) {
                call_args.startcol = value;
            }
            else if (PyUnicode_Compare(key, names.freeze_panes) != 0 &&
                     PyUnicode_Compare(key, names.autofilter_range) != 0) {
                return false;
            }
            else if (value != Py_None) {
                // Frozen panes or a filter: pandas' own loop.
                return false;
            }
        }
    }
    if (call_args.startrow == nullptr || call_args.startcol == nullptr) {
        zero = Ref::checked(PyLong_FromLong(0));
        if (call_args.startrow == nullptr) {
            call_args.startrow = zero.get();
        }
        if (call_args.startcol == nullptr) {
            call_args.startcol = zero.get();
        }
    }
    return PyLong_CheckExact(call_args.startrow) && PyLong_CheckExact(call_args.startcol) &&
           PyUnicode_CheckExact(call_args.sheet_name);
}

// The workbook behind the writer, when it is openpyxl's own in normal
// (not write-only) mode.
Ref plain_book(PyObject* writer)
{
    const OpenpyxlLayout* openpyxl = openpyxl_layout();
    Ref book = attribute_or_nothing(writer, names.book);
    if (openpyxl == nullptr || !book || Py_TYPE(book.get()) != as_type(openpyxl->workbook_type)) {
        return Ref();
    }
    Ref write_only = attribute_or_nothing(book.get(), names.write_only);
    if (!write_only || write_only.get() != Py_False) {
        return Ref();
    }
    return book;
}

Ref sheet_list(PyObject* book)
{
    Ref sheets = get_attr(book, names.sheets_attr);
    if (!PyList_CheckExact(sheets.get())) {
        PyErr_SetString(PyExc_TypeError, "the workbook's sheets are not a list");
        throw_error_set();
    }
    return sheets;
}

// The sheet _write_cells wrote to: the one it appended, or else the one it
// found under the name.
Ref written_sheet(PyObject* writer, PyObject* book, PyObject* sheet_name,
                  const std::vector<PyObject*>& before)
{
    Ref after = sheet_list(book);
    const auto count = static_cast<std::size_t>(PyList_GET_SIZE(after.get()));
    bool kept = count >= before.size();
    for (std::size_t i = 0; kept && i < before.size(); ++i) {
        kept = PyList_GET_ITEM(after.get(), static_cast<Py_ssize_t>(i)) == before[i];
    }
    if (kept && count == before.size() + 1) {
        return Ref::borrow(PyList_GET_ITEM(after.get(), static_cast<Py_ssize_t>(count - 1)));
    }
    if (kept && count == before.size()) {
        Ref sheets = get_attr(writer, names.sheets);
        return get_item(sheets.get(), sheet_name);
    }
    PyErr_SetString(PyExc_RuntimeError, "cannot tell which sheet the frame was written to");
    throw_error_set();
}

// pandas' _write_cells with the formatter's body generator stood in for,
// then the body placed natively.
void write_cells_natively(const PandasLayout& pandas, PyObject* writer, PyObject* book,
                          Ref formatter, const CellsCall& call_args, PyObject* args,
                          PyObject* kwargs)
{
    // book._sheets before, to tell a new sheet from a reused one.
    std::vector<PyObject*> before;
    Ref sheets_before = sheet_list(book);
    Ref snapshot = Ref::checked(PyList_GetSlice(sheets_before.get(), 0, PY_SSIZE_T_MAX));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
        before.push_back(PyList_GET_ITEM(snapshot.get(), i));
    }

    Ref formatter_dict = instance_dict(formatter.get());
    if (!PyDict_CheckExact(formatter_dict.get()) ||
        check_status(PyDict_Contains(formatter_dict.get(), names.generate_body_attr)) == 1) {
        forward(pandas.write_cells.get(), writer, args, kwargs);
        return;
    }
    auto owned = std::make_unique<Link>();
    Link* link = owned.get();
    link->writer = formatter.dup();  // the generator's own `self`
    link->function = pandas.generate_body.dup();
    Ref recorder = linked_function(&record_body_def, owned);
    Route route{&pandas, writer};
    link->route = &route;
    set_item(formatter_dict.get(), names.generate_body_attr, recorder.get());
    try {
        forward(pandas.write_cells.get(), writer, args, kwargs);
    }
    catch (const PyErrorSet&) {
        link->route = nullptr;
        take_away(formatter_dict.get(), names.generate_body_attr, recorder.get());
        throw;
    }
    link->route = nullptr;
    take_away_checked(formatter_dict.get(), names.generate_body_attr, recorder.get());
    if (!link->called) {
        return;
    }
    Ref worksheet = written_sheet(writer, book, call_args.sheet_name, before);
    snapshot.reset();
    const BodyPlace place{writer,
                          formatter.get(),
                          worksheet.get(),
                          call_args.startrow,
                          call_args.startcol,
                          link->coloffset.get()};
    place_body(pandas, place);
}

// writer._write_cells(*args, **kwargs) while to_excel runs.
PyObject* stand_in_write_cells(PyObject* capsule, PyObject* args, PyObject* kwargs) noexcept
{
    return translate_exceptions(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        Link* link = link_of(capsule);
        PyObject* writer = link->writer.get();
        Route* route = link->route;
        if (route == nullptr || route->used) {
            return forward(link->function.get(), writer, args, kwargs).release();
        }
        route->used = true;
        // The stand-in serves one call; whatever runs next finds pandas' own.
        {
            Ref writer_dict = instance_dict(writer);
            PyObject* self_function = PyDict_GetItemWithError(writer_dict.get(), names.write_cells_attr);
            if (self_function != nullptr) {
                Ref keep = Ref::borrow(self_function);
                take_away_checked(writer_dict.get(), names.write_cells_attr, keep.get());
            }
            else if (PyErr_Occurred()) {
                throw_error_set();
            }
        }
        const PandasLayout& pandas = *route->pandas;
        CellsCall call_args;
        Ref zero;
        Ref formatter;
        Ref book;
        if (read_cells_call(args, kwargs, call_args, zero) && pandas_pins_hold(pandas) &&
            cell_layout_if_unchanged() != nullptr) {
            formatter = formatter_of(pandas, call_args.cells);
            if (formatter) {
                book = plain_book(writer);
            }
        }
        if (!formatter || !book) {
            return forward(pandas.write_cells.get(), writer, args, kwargs).release();
        }
        write_cells_natively(pandas, writer, book.get(), std::move(formatter), call_args, args,
                             kwargs);
        return Ref::borrow(Py_None).release();
    });
}

PyMethodDef stand_in_def = {"_write_cells", reinterpret_cast<PyCFunction>(
                                                reinterpret_cast<void (*)()>(stand_in_write_cells)),
                            METH_VARARGS | METH_KEYWORDS, nullptr};

// The stand-in in the writer's instance dict for the length of one call.
class StandIn {
public:
    StandIn(Route& route, Ref writer_dict) : dict_(std::move(writer_dict))
    {
        auto owned = std::make_unique<Link>();
        link_ = owned.get();
        link_->writer = Ref::borrow(route.writer);
        link_->function = route.pandas->write_cells.dup();
        function_ = linked_function(&stand_in_def, owned);
        link_->route = &route;
        set_item(dict_.get(), names.write_cells_attr, function_.get());
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;
    // When the call failed: the stand-in goes, the call's error stays.
    ~StandIn()
    {
        if (!ended_) {
            link_->route = nullptr;
            take_away(dict_.get(), names.write_cells_attr, function_.get());
        }
    }

    // When the call succeeded: the stand-in goes; an interrupt meanwhile
    // goes on.
    void end()
    {
        ended_ = true;
        link_->route = nullptr;
        take_away_checked(dict_.get(), names.write_cells_attr, function_.get());
    }

private:
    Ref dict_;
    Ref function_;
    Link* link_ = nullptr;
    bool ended_ = false;
};

// The route applies to this call: pandas itself, its DataFrame and its
// openpyxl writer, openpyxl's cells as known, and nothing of the writer's
// own named _write_cells. Returns the writer's instance dict then.
Ref route_dict(const PandasLayout*& pandas, PyObject* frame_object, PyObject* writer)
{
    // Held: building the layout at the first call runs Python code, which
    // may rebind the module's pd.
    Ref pd = Ref::borrow(PyDict_GetItemWithError(module_globals(), names.pd));
    if (!pd) {
        if (PyErr_Occurred()) {
            swallow_ordinary_error();
        }
        return Ref();
    }
    pandas = pandas_layout_if_genuine(pd.get());
    if (pandas == nullptr || Py_TYPE(frame_object) != as_type(pandas->frame_type) ||
        Py_TYPE(writer) != as_type(pandas->writer_type) || cell_layout_if_unchanged() == nullptr) {
        return Ref();
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(writer, nullptr));
    if (!dict) {
        swallow_ordinary_error();
        return Ref();
    }
    if (!PyDict_CheckExact(dict.get())) {
        return Ref();
    }
    const int held = PyDict_Contains(dict.get(), names.write_cells_attr);
    if (held != 0) {
        if (held < 0) {
            swallow_ordinary_error();
        }
        return Ref();
    }
    return dict;
}

}  // namespace

namespace {

// `to_excel` is the frame's class's own method, pandas' code: what it hands
// the writer to is pandas' own as well.
bool pandas_to_excel(const PandasLayout& pandas, PyObject* to_excel, PyObject* frame_object)
{
    if (!PyMethod_Check(to_excel) || PyMethod_GET_SELF(to_excel) != frame_object) {
        return false;
    }
    PyObject* function = PyMethod_GET_FUNCTION(to_excel);
    return function == class_attribute(as_type(pandas.frame_type), names.to_excel) &&
           library_check::is_library_code(function);
}

}  // namespace

Ref call_to_excel(PyObject* to_excel, PyObject* frame_object, PyObject* writer,
                  std::initializer_list<Keyword> keywords)
{
    const PandasLayout* pandas = nullptr;
    Ref dict = route_dict(pandas, frame_object, writer);
    if (!dict || !pandas_to_excel(*pandas, to_excel, frame_object)) {
        // Code other than pandas' own gets the writer: it finds every cell
        // the write made so far.
        settle_owed_cells();
    }
    if (!dict) {
        return call(to_excel, {writer}, keywords);
    }
    Route route{pandas, writer};
    StandIn stand_in(route, std::move(dict));
    Ref result = call(to_excel, {writer}, keywords);
    stand_in.end();
    return result;
}

}  // namespace xt
