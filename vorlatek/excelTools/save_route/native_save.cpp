// The native save route: the hook on pandas' workbook, the workbook's
// routed save, and the native methods of the sheet writer subclass.
#include "native_save.hpp"

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "../core/compat.hpp"
#include "../core/error.hpp"
#include "../core/names.hpp"
#include "../core/pyapi.hpp"
#include "../workbook/part_splice.hpp"
#include "../libraries/openpyxl_layout.hpp"
#include "../write_session/owed_cells.hpp"
#include "save_layout.hpp"
#include "sheet_member.hpp"
#include "sheet_rows.hpp"

namespace xt {

namespace {

constexpr const char* spool_capsule_name = "vorlatek.excelTools.sheet_data";

// The most bytes of rows a sheet may have to be written straight into its
// member. zipfile decides on ZIP64 records for a member from the size of
// the file it copies (file_size * 1.05 beyond 2 GiB - 1): with rows this
// large at most, and the rest of the part at most direct_part_bound, the
// part without its rows and the part with them decide alike (no ZIP64).
constexpr std::size_t direct_member_bound = std::size_t{1} << 30;
constexpr unsigned long long direct_part_bound = 1ULL << 29;

// The object a weak reference points to (a new reference), or nullptr.
PyObject* weak_target(PyObject* reference)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(reference, &target) < 0) {
        throw_error_set();
    }
    return target;
#else
    PyObject* target = PyWeakref_GetObject(reference);
    if (target == nullptr) {
        throw_error_set();
    }
    if (target == Py_None) {
        return nullptr;
    }
    Py_INCREF(target);
    return target;
#endif
}

std::string file_system_path(PyObject* text)
{
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(text, &encoded) == 0) {
        throw_error_set();
    }
    Ref bytes = Ref::steal(encoded);
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void release_spool(PyObject* capsule) noexcept
{
    delete static_cast<SpoolFile*>(PyCapsule_GetPointer(capsule, spool_capsule_name));
}

// with xf.element("sheetData"): xf.write(marker)
void write_marked_sheet_data(const SaveLayout& layout, PyObject* sheet_writer)
{
    Ref stream = get_attr(sheet_writer, layout.xf_name.get());
    Ref xf = call_method(stream.get(), layout.send_name.get(), {Py_True});
    Ref element = call_method(xf.get(), layout.element_name.get(), {layout.sheet_data_name.get()});
    Ref enter = get_attr(element.get(), names.dunder_enter);
    Ref exit = get_attr(element.get(), names.dunder_exit);
    call(enter.get(), {});
    call_method(xf.get(), layout.write_name.get(), {layout.marker.get()});
    call(exit.get(), {Py_None, Py_None, Py_None});
    call_method(stream.get(), layout.send_name.get(), {Py_None});
}

// The rows serialised into a spool file beside openpyxl's part at `out`.
std::unique_ptr<SpoolFile> spool_rows(const SaveLayout& layout, SheetRows& rows, PyObject* out)
{
    auto spool = std::make_unique<SpoolFile>();
    spool->create(directory_of(file_system_path(out)));
    ByteSink sink(spool->fd());
    SheetXmlWriter xml(sink, layout.dialect);
    rows.write(xml);
    sink.flush();
    return spool;
}

// The spool's rows put in place of the marker in openpyxl's part at `out`.
void splice_rows(const SaveLayout& layout, PyObject* out, const SpoolFile& spool)
{
    const char* marker = PyUnicode_AsUTF8(layout.marker.get());
    if (marker == nullptr) {
        throw_error_set();
    }
    splice_spool(file_system_path(out), "<sheetData>", marker, "</sheetData>", spool);
}

// Whether the finished part at `out` of a sheet waiting for its member is
// small enough for the member to be written straight (see
// direct_member_bound); a part that cannot be looked at counts as too large.
bool part_fits_member(PyObject* out)
{
    struct stat status {};
    return ::stat(file_system_path(out).c_str(), &status) == 0 &&
           static_cast<unsigned long long>(status.st_size) <= direct_part_bound;
}

// WorksheetWriter.write_rows(self), natively where the sheet allows it.
Ref write_rows(PyObject* self)
{
    const SaveLayout* layout = save_layout();
    if (layout == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "sheet writer without its layout");
        throw_error_set();
    }
    if (!save_layout_holds(*layout)) {
        settle_owed_cells();
        return call(layout->original_write_rows.get(), {self});
    }
    Ref worksheet = get_attr(self, layout->ws_name.get());
    Ref out = attribute_or_nothing(self, layout->out_name.get());
    SheetRows rows(*layout, worksheet.get());
    if (!out || !PyUnicode_CheckExact(out.get()) || !rows.collect()) {
        settle_owed_cells();
        return call(layout->original_write_rows.get(), {self});
    }
    DirectMembers* members = DirectMembers::current();
    if (members != nullptr && rows.byte_bound() <= direct_member_bound) {
        // Written when zipfile copies the part into its member.
        write_marked_sheet_data(*layout, self);
        PendingSheet sheet;
        sheet.worksheet = std::move(worksheet);
        sheet.out_path = std::move(out);
        sheet.rows = std::make_unique<SheetRows>(std::move(rows));
        members->add(std::move(sheet));
        return Ref::borrow(Py_None);
    }
    std::unique_ptr<SpoolFile> spool = spool_rows(*layout, rows, out.get());
    write_marked_sheet_data(*layout, self);
    Ref capsule = Ref::checked(PyCapsule_New(spool.get(), spool_capsule_name, release_spool));
    spool.release();
    set_attr(self, layout->spool_key.get(), capsule.get());
    return Ref::borrow(Py_None);
}

// WorksheetWriter.write(self), then the native rows spliced in.
Ref write(PyObject* self)
{
    const SaveLayout* layout = save_layout();
    if (layout == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "sheet writer without its layout");
        throw_error_set();
    }
    Ref result = call(layout->original_write.get(), {self});
    DirectMembers* members = DirectMembers::current();
    Ref out_path = members != nullptr ? attribute_or_nothing(self, layout->out_name.get()) : Ref();
    if (out_path && PyUnicode_CheckExact(out_path.get()) && members->holds(out_path.get())) {
        if (!part_fits_member(out_path.get())) {
            std::unique_ptr<PendingSheet> sheet = members->take(out_path.get());
            std::unique_ptr<SpoolFile> spool = spool_rows(*layout, *sheet->rows, out_path.get());
            splice_rows(*layout, out_path.get(), *spool);
        }
        return result;
    }
    Ref capsule = attribute_or_nothing(self, layout->spool_key.get());
    if (!capsule) {
        return result;
    }
    check_status(PyObject_DelAttr(self, layout->spool_key.get()));
    auto* spool = static_cast<SpoolFile*>(PyCapsule_GetPointer(capsule.get(), spool_capsule_name));
    if (spool == nullptr) {
        throw_error_set();
    }
    Ref out = get_attr(self, layout->out_name.get());
    splice_rows(*layout, out.get(), *spool);
    return result;
}

// worksheet.calculate_dimension() for openpyxl's own worksheet whose cell
// keys are all pairs of ints: the corners found in one look at the keys
// instead of openpyxl's sets of every row and column. An empty Ref for
// anything else, which openpyxl's own code then answers.
Ref sheet_dimension(const SaveLayout& layout, PyObject* worksheet)
{
    if (Py_TYPE(worksheet) != as_type(layout.worksheet_type)) {
        return Ref();
    }
    // getattr(self.ws, "calculate_dimension"): openpyxl's method of this sheet.
    Ref bound = attribute_or_nothing(worksheet, layout.calculate_dimension_name.get());
    if (!bound || !PyMethod_Check(bound.get()) ||
        PyMethod_GET_FUNCTION(bound.get()) != layout.calculate_dimension.get() ||
        PyMethod_GET_SELF(bound.get()) != worksheet) {
        return Ref();
    }
    Ref cells = attribute_or_nothing(worksheet, names.cells_attr);
    if (!cells || !PyDict_CheckExact(cells.get())) {
        return Ref();
    }
    if (PyDict_GET_SIZE(cells.get()) == 0) {
        return Ref::checked(PyUnicode_FromString("A1:A1"));
    }
    long long min_row = LLONG_MAX;
    long long max_row = LLONG_MIN;
    long long min_col = LLONG_MAX;
    long long max_col = LLONG_MIN;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* cell = nullptr;
    while (PyDict_Next(cells.get(), &position, &key, &cell)) {
        long long row = 0;
        long long col = 0;
        if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2 ||
            !exact_long_long(PyTuple_GET_ITEM(key, 0), row) ||
            !exact_long_long(PyTuple_GET_ITEM(key, 1), col)) {
            return Ref();
        }
        min_row = std::min(min_row, row);
        max_row = std::max(max_row, row);
        min_col = std::min(min_col, col);
        max_col = std::max(max_col, col);
    }
    cells.reset();
    // f"{get_column_letter(min_col)}{min_row}:{get_column_letter(max_col)}{max_row}"
    Ref first_number = Ref::checked(PyLong_FromLongLong(min_col));
    Ref first = call(layout.column_letter.get(), {first_number.get()});
    Ref first_text = text_of(first.get());
    Ref last_number = Ref::checked(PyLong_FromLongLong(max_col));
    Ref last = call(layout.column_letter.get(), {last_number.get()});
    Ref last_text = text_of(last.get());
    return Ref::checked(PyUnicode_FromFormat("%U%lld:%U%lld", first_text.get(), min_row,
                                             last_text.get(), max_row));
}

// WorksheetWriter.write_dimensions(self), the dimension found natively
// where the sheet allows it.
Ref write_dimensions(PyObject* self)
{
    const SaveLayout* layout = save_layout();
    if (layout == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "sheet writer without its layout");
        throw_error_set();
    }
    if (!save_layout_holds(*layout)) {
        settle_owed_cells();
        return call(layout->original_write_dimensions.get(), {self});
    }
    Ref worksheet = get_attr(self, layout->ws_name.get());
    Ref ref = sheet_dimension(*layout, worksheet.get());
    if (!ref) {
        settle_owed_cells();
        return call(layout->original_write_dimensions.get(), {self});
    }
    // dim = SheetDimension(ref); self.xf.send(dim.to_tree())
    Ref dimension = call(layout->sheet_dimension_type.get(), {ref.get()});
    Ref tree = call_method(dimension.get(), layout->to_tree_name.get());
    Ref stream = get_attr(self, layout->xf_name.get());
    call_method(stream.get(), layout->send_name.get(), {tree.get()});
    return Ref::borrow(Py_None);
}

PyObject* native_write_dimensions(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return translate_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 1) {
            PyErr_SetString(PyExc_TypeError, "write_dimensions() takes no arguments");
            throw_error_set();
        }
        return write_dimensions(args[0]).release();
    });
}

PyObject* native_write_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return translate_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 1) {
            PyErr_SetString(PyExc_TypeError, "write_rows() takes no arguments");
            throw_error_set();
        }
        return write_rows(args[0]).release();
    });
}

PyObject* native_write(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return translate_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 1) {
            PyErr_SetString(PyExc_TypeError, "write() takes no arguments");
            throw_error_set();
        }
        return write(args[0]).release();
    });
}

PyMethodDef sheet_writer_methods[] = {
    {"write_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_write_rows)),
     METH_FASTCALL, "The sheet's rows, natively where every cell allows it."},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_write)),
     METH_FASTCALL, "The worksheet part, with natively written rows spliced in."},
    {"write_dimensions",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_write_dimensions)),
     METH_FASTCALL, "The sheet's dimension element, its corners found natively."},
    {nullptr, nullptr, 0, nullptr},
};

// Drops the workbook's instance attribute `save` when it is this route's.
void remove_routed_save(PyObject* workbook, PyObject* reference, PyObject* save_name)
{
    Ref instance_dict = Ref::steal(PyObject_GenericGetDict(workbook, nullptr));
    if (!instance_dict) {
        throw_error_set();
    }
    PyObject* installed = PyDict_GetItemWithError(instance_dict.get(), save_name);
    if (installed == nullptr) {
        if (PyErr_Occurred()) {
            throw_error_set();
        }
        return;
    }
    if (PyCFunction_Check(installed) && PyCFunction_GET_SELF(installed) == reference) {
        check_status(PyDict_DelItem(instance_dict.get(), save_name));
    }
}

// workbook.save(filename): the routed save when everything is still as the
// route knows it, openpyxl's own otherwise. Either way the attribute goes
// first, so the workbook is left as it was.
PyObject* routed_workbook_save(PyObject* reference, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept
{
    return translate_exceptions<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref workbook = Ref::steal(weak_target(reference));
        const SaveLayout* layout = save_layout();
        if (!workbook || layout == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "workbook gone before its save");
            throw_error_set();
        }
        remove_routed_save(workbook.get(), reference, layout->save_name.get());
        if (nargs == 1 && kwnames == nullptr &&
            Py_TYPE(workbook.get()) == as_type(layout->workbook_type) &&
            save_layout_holds(*layout)) {
            PyObject* save = routed_save_now(*layout);
            // With the large-piece archive, sheets' rows go straight into
            // their members (see sheet_member.hpp).
            std::optional<DirectMembers> members;
            if (save == layout->routed_save_large_pieces.get()) {
                members.emplace();
            }
            return call(save, {workbook.get(), args[0]}).release();
        }
        // openpyxl's own save, whatever it is now, finds every cell.
        settle_owed_cells();
        Ref plain = get_attr(workbook.get(), layout->save_name.get());
        return Ref::checked(XT_Vectorcall(plain.get(), args, static_cast<std::size_t>(nargs),
                                          kwnames))
            .release();
    });
}

PyMethodDef routed_save_definition = {
    "save",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(routed_workbook_save)),
    METH_FASTCALL | METH_KEYWORDS,
    "Saves the workbook as openpyxl does, its sheets' rows written natively.",
};

// pd is the pandas module itself and the writer pandas' own openpyxl writer,
// checked without importing anything. Returns pd or an empty Ref.
Ref genuine_pandas_writer(PyObject* writer)
{
    PyObject* globals = module_globals();
    PyObject* pd = globals ? PyDict_GetItemWithError(globals, names.pd) : nullptr;
    if (pd == nullptr) {
        if (PyErr_Occurred()) {
            throw_error_set();
        }
        return Ref();
    }
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* pandas = PyDict_GetItemWithError(modules, names.pandas);
    if (pandas == nullptr && PyErr_Occurred()) {
        throw_error_set();
    }
    if (pd != pandas || !PyModule_CheckExact(pd)) {
        return Ref();
    }
    // Held: the lookup below may run Python code that rebinds pd.
    Ref held = Ref::borrow(pd);
    Ref writer_module = attribute_or_nothing(reinterpret_cast<PyObject*>(Py_TYPE(writer)),
                                             names.dunder_module);
    const bool genuine =
        writer_module && PyUnicode_Check(writer_module.get()) &&
        PyUnicode_CompareWithASCIIString(writer_module.get(), "pandas.io.excel._openpyxl") == 0;
    return genuine ? std::move(held) : Ref();
}

}  // namespace

PyMethodDef* sheet_writer_method_definitions() noexcept { return sheet_writer_methods; }

bool pandas_openpyxl_writer(PyObject* writer)
{
    try {
        Ref pd = genuine_pandas_writer(writer);
        const SaveLayout* layout = pd ? save_layout() : nullptr;
        return layout != nullptr && Py_TYPE(writer) == as_type(layout->pandas_writer_type) &&
               pd.get() == layout->pandas_module.get();
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return false;
    }
}

RouteOutcome route_save_natively(PyObject* writer)
{
    try {
        Ref pd = genuine_pandas_writer(writer);
        if (!pd) {
            return RouteOutcome::declined;
        }
        const SaveLayout* layout = save_layout();
        if (layout == nullptr || Py_TYPE(writer) != as_type(layout->pandas_writer_type) ||
            pd.get() != layout->pandas_module.get() || !save_layout_holds(*layout)) {
            return RouteOutcome::declined;
        }
        Ref workbook = attribute_or_nothing(writer, layout->book_name.get());
        if (!workbook || Py_TYPE(workbook.get()) != as_type(layout->workbook_type)) {
            return RouteOutcome::declined;
        }
        Ref instance_dict = Ref::checked(PyObject_GenericGetDict(workbook.get(), nullptr));
        if (check_status(PyDict_Contains(instance_dict.get(), layout->save_name.get())) != 0) {
            return RouteOutcome::declined;
        }
        Ref reference = Ref::checked(PyWeakref_NewRef(workbook.get(), nullptr));
        Ref save = Ref::checked(PyCFunction_NewEx(&routed_save_definition, reference.get(), nullptr));
        check_status(PyDict_SetItem(instance_dict.get(), layout->save_name.get(), save.get()));
        return RouteOutcome::taken;
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return RouteOutcome::declined;
    }
}

}  // namespace xt
