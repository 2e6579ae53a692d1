// One worksheet's rows as openpyxl writes them (worksheet/_writer.py
// WorksheetWriter.rows and write_row, cell/_writer.py _set_attributes and
// etree_write_cell or lxml_write_cell, compat/strings.py safe_string,
// utils/datetime.py to_excel).
#include "sheet_rows.hpp"

#include <datetime.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../core/datetime_fields.hpp"
#include "../core/error.hpp"
#include "../core/pyapi.hpp"
#include "../libraries/openpyxl_layout.hpp"

namespace xt {

namespace {

constexpr long long last_column = 18278;  // "ZZZ", get_column_letter's limit
constexpr std::size_t cells_between_signal_checks = 8192;

using StyleInts = std::array<int, 9>;

// What one cell becomes.
enum class Content {
    skip,           // not written (no value, no style)
    empty_cell,     // <c .../>
    number,         // <v>%.16g</v>
    text_value,     // <v>text</v>
    empty_value,    // <v/>: a float whose text is empty (nan, inf)
    inline_string,  // <is><t>text</t></is>
    formula,        // <f>text[1:]</f><v/>
};

struct CellPlan {
    Content content = Content::skip;
    std::string_view type;  // the t attribute; empty for none
    long long row = 0;
    long long column = 0;
    // The StyleArray (when the cell has a style) and the text are owned:
    // registering the style runs Python code, and so does a signal handler
    // while the output is flushed, either of which may rebind the cell's
    // value or style before they are written.
    Ref style;
    StyleInts style_ints{};
    double number = 0;
    Ref text;
};

PyObject* slot(PyObject* obj, Py_ssize_t offset) { return *slot_at(obj, offset); }

bool exact_int(PyObject* value, long long& out)
{
    if (value == nullptr || !PyLong_CheckExact(value)) {
        return false;
    }
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) {
        return false;
    }
    if (out == -1 && PyErr_Occurred()) {
        swallow_ordinary_error();
        return false;
    }
    return true;
}

// The nine ints of a StyleArray; false for anything else.
bool read_style(const SaveLayout& layout, PyObject* style, StyleInts& out)
{
    if (Py_TYPE(style) != as_type(layout.style_array_type)) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(style, &view, PyBUF_FORMAT) < 0) {
        swallow_ordinary_error();
        return false;
    }
    const bool fits = view.itemsize == static_cast<Py_ssize_t>(sizeof(int)) &&
                      view.len == static_cast<Py_ssize_t>(sizeof out) && view.format != nullptr &&
                      std::strcmp(view.format, "i") == 0;
    if (fits) {
        std::memcpy(out.data(), view.buf, sizeof out);
    }
    PyBuffer_Release(&view);
    return fits;
}

// The cell's data_type as the t attribute openpyxl gives it ("d" becomes
// "n" once the value is a day serial); false for a type not known here.
enum class CellType { numeric, string, formula, boolean, error, date, formula_string, inline_string };

// A str whose characters can be read in place (before 3.12 a str made by
// the old Py_UNICODE API is not, until it is made ready).
bool readable_text(PyObject* text)
{
    if (!PyUnicode_CheckExact(text)) {
        return false;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) {
        swallow_ordinary_error();
        return false;
    }
#endif
    return true;
}

bool cell_type_of(PyObject* data_type, CellType& type, std::string_view& attribute)
{
    if (data_type == nullptr || !readable_text(data_type) || !PyUnicode_IS_ASCII(data_type)) {
        return false;
    }
    const std::string_view text(static_cast<const char*>(PyUnicode_DATA(data_type)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(data_type)));
    // Nearly every cell has a one-letter type: told apart by that letter.
    switch (text.size() == 1 ? text[0] : '\0') {
    case 'n':
        type = CellType::numeric;
        attribute = "n";
        return true;
    case 's':
        type = CellType::string;
        attribute = "inlineStr";
        return true;
    case 'f':
        type = CellType::formula;
        attribute = {};
        return true;
    case 'b':
        type = CellType::boolean;
        attribute = "b";
        return true;
    case 'e':
        type = CellType::error;
        attribute = "e";
        return true;
    case 'd':
        type = CellType::date;
        attribute = "n";
        return true;
    default:
        break;
    }
    if (text == "str") {
        type = CellType::formula_string;
        attribute = "str";
    }
    else if (text == "inlineStr") {
        type = CellType::inline_string;
        attribute = "inlineStr";
    }
    else {
        return false;
    }
    return true;
}

}  // namespace

namespace {

// The day serial of a date cell's value, as to_excel gives it; false for a
// value it does not take (or takes only with a timezone, which openpyxl
// refuses).
bool day_serial(const SaveLayout& layout, const DayEpoch& epoch, PyObject* value, double& out)
{
    if (PyTime_CheckExact(value)) {
        if (tzinfo_of_time(value) != Py_None) {
            return false;
        }
        out = time_serial(PyDateTime_TIME_GET_HOUR(value), PyDateTime_TIME_GET_MINUTE(value),
                          PyDateTime_TIME_GET_SECOND(value),
                          PyDateTime_TIME_GET_MICROSECOND(value));
        return true;
    }
    if (PyDelta_CheckExact(value)) {
        // total_seconds(): the whole microseconds divided by 10**6.
        const long long days = PyDateTime_DELTA_GET_DAYS(value);
        const long long total = (days * 86400 + PyDateTime_DELTA_GET_SECONDS(value)) * 1000000 +
                                PyDateTime_DELTA_GET_MICROSECONDS(value);
        constexpr long long exact_limit = 1LL << 53;
        if (total >= exact_limit || total <= -exact_limit) {
            return false;
        }
        out = duration_serial(total);
        return true;
    }
    // pandas' Timestamp keeps its fields (to the microsecond) in the
    // datetime it derives from; its nanoseconds change neither the day nor
    // to_excel's fraction.
    if (PyDateTime_CheckExact(value) ||
        Py_TYPE(value) == as_type(layout.timestamp_type)) {
        if (tzinfo_of_datetime(value) != Py_None) {
            return false;
        }
        out = datetime_serial(epoch, PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                              PyDateTime_GET_DAY(value), PyDateTime_DATE_GET_HOUR(value),
                              PyDateTime_DATE_GET_MINUTE(value),
                              PyDateTime_DATE_GET_SECOND(value),
                              PyDateTime_DATE_GET_MICROSECOND(value));
        return true;
    }
    if (PyDate_CheckExact(value)) {
        out = datetime_serial(epoch, PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value),
                              PyDateTime_GET_DAY(value), 0, 0, 0, 0);
        return true;
    }
    return false;
}

bool other_number(const SaveLayout& layout, PyTypeObject* type)
{
    for (const Ref& numeric : layout.other_numeric_types) {
        if (type == as_type(numeric)) {
            return true;
        }
    }
    return false;
}

struct SheetFacts {
    const SaveLayout& layout;
    PyObject* worksheet;
    const DayEpoch& epoch;
    bool iso_dates;
};

// How openpyxl writes `cell`; false when that is not reproduced here.
bool plan_cell(const SheetFacts& facts, PyObject* cell, CellPlan& plan)
{
    // The previous cell's references go first: letting them go may run a
    // finaliser, which must not find borrowed pointers of this cell held.
    plan.style.reset();
    plan.text.reset();
    const SaveLayout& layout = facts.layout;
    PyTypeObject* type = Py_TYPE(cell);
    const bool merged = type == as_type(layout.merged_cell_type);
    if (!merged && type != as_type(layout.cell_type)) {
        return false;
    }
    if (slot(cell, merged ? layout.merged_parent : layout.cell_parent) != facts.worksheet) {
        return false;
    }
    if (!exact_int(slot(cell, merged ? layout.merged_row : layout.cell_row), plan.row) ||
        !exact_int(slot(cell, merged ? layout.merged_column : layout.cell_column), plan.column) ||
        plan.column < 1 || plan.column > last_column) {
        return false;
    }
    PyObject* style = slot(cell, layout.styleable_style);
    if (style == nullptr) {
        return false;
    }
    if (style != Py_None) {
        if (!read_style(layout, style, plan.style_ints)) {
            return false;
        }
        if (std::any_of(plan.style_ints.begin(), plan.style_ints.end(),
                        [](int i) { return i != 0; })) {
            plan.style = Ref::borrow(style);
        }
    }
    if (merged) {
        // _value None, data_type "n", no comment: written only when styled.
        plan.type = "n";
        plan.content = plan.style ? Content::empty_cell : Content::skip;
        return true;
    }
    if (slot(cell, layout.cell_comment) != Py_None || slot(cell, layout.cell_hyperlink) != Py_None) {
        return false;
    }
    PyObject* value = slot(cell, layout.cell_value);
    CellType cell_type;
    if (value == nullptr || !cell_type_of(slot(cell, layout.cell_data_type), cell_type, plan.type)) {
        return false;
    }
    if (value == Py_None && !plan.style) {
        plan.content = Content::skip;
        return true;
    }
    if (cell_type == CellType::date) {
        // None or any other value makes to_excel raise; ISO dates are text.
        if (facts.iso_dates || !day_serial(layout, facts.epoch, value, plan.number)) {
            return false;
        }
        plan.content = Content::number;
        return true;
    }
    // value is None or value == ""
    if (PyUnicode_CheckExact(value) && !readable_text(value)) {
        return false;
    }
    if (value == Py_None || (PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) == 0)) {
        plan.content = Content::empty_cell;
        return true;
    }
    if (cell_type == CellType::formula || cell_type == CellType::string) {
        if (!PyUnicode_CheckExact(value) || !writable_text(value, layout.dialect)) {
            return false;
        }
        plan.text = Ref::borrow(value);
        plan.content = cell_type == CellType::formula ? Content::formula : Content::inline_string;
        return true;
    }
    // <v>safe_string(value)</v>
    PyTypeObject* value_type = Py_TYPE(value);
    if (value_type == &PyBool_Type) {
        plan.number = value == Py_True ? 1.0 : 0.0;
        plan.content = Content::number;
        return true;
    }
    if (value_type == &PyLong_Type) {
        // "%.16g" % value converts the int to a float first.
        plan.number = PyLong_AsDouble(value);
        if (plan.number == -1.0 && PyErr_Occurred()) {
            swallow_ordinary_error();
            return false;
        }
        plan.content = Content::number;
        return true;
    }
    if (value_type == &PyFloat_Type) {
        plan.number = PyFloat_AS_DOUBLE(value);
        plan.content = std::isfinite(plan.number) ? Content::number : Content::empty_value;
        return true;
    }
    if (other_number(layout, value_type)) {
        // isnan(value), isinf(value) and "%.16g" % value all take float(value).
        plan.number = PyFloat_AsDouble(value);
        if (plan.number == -1.0 && PyErr_Occurred()) {
            swallow_ordinary_error();
            return false;
        }
        plan.content = std::isfinite(plan.number) ? Content::number : Content::empty_value;
        return true;
    }
    if (value_type == &PyUnicode_Type) {
        if (!writable_text(value, layout.dialect)) {
            return false;
        }
        plan.text = Ref::borrow(value);
        plan.content = Content::text_value;
        return true;
    }
    return false;
}

struct StyleIntsHash {
    std::size_t operator()(const StyleInts& ints) const noexcept
    {
        std::size_t hash = 0;
        for (int i : ints) {
            hash = hash * 1000003u ^ static_cast<std::size_t>(static_cast<unsigned int>(i));
        }
        return hash;
    }
};

// cell.style_id: the index of the cell's style array in the workbook's
// IndexedList, added there when new. Equal arrays share one index, so each
// distinct array goes through the list's own `add` once, in the order the
// cells bring them.
class StyleIds {
public:
    StyleIds(PyObject* cell_styles, PyObject* add_name) : cell_styles_(cell_styles), add_(add_name) {}

    long long id_of(const StyleInts& ints, PyObject* style)
    {
        if (last_ && last_->first == ints) {
            return last_->second;
        }
        auto found = known_.find(ints);
        if (found == known_.end()) {
            Ref index = call_method(cell_styles_, add_, {style});
            long long id = 0;
            if (!exact_int(index.get(), id) || id < 0) {
                PyErr_SetString(PyExc_RuntimeError, "style list gave no index");
                throw_error_set();
            }
            found = known_.emplace(ints, id).first;
        }
        last_ = &*found;
        return found->second;
    }

private:
    PyObject* cell_styles_;
    PyObject* add_;
    std::unordered_map<StyleInts, long long, StyleIntsHash> known_;
    const std::pair<const StyleInts, long long>* last_ = nullptr;
};

// Where the rows' output stands: the row element open, if any.
struct RowCursor {
    bool open = false;
    long long row = 0;

    void enter(SheetXmlWriter& out, long long cell_row)
    {
        if (open && cell_row == row) {
            return;
        }
        if (open) {
            out.close_row();
        }
        out.open_row(cell_row);
        open = true;
        row = cell_row;
    }
};

void write_content(SheetXmlWriter& out, Content content, double number, const TextUnits& text)
{
    switch (content) {
    case Content::skip:
        break;
    case Content::empty_cell:
        out.end_empty_cell();
        break;
    case Content::number:
        out.number_cell(number);
        break;
    case Content::text_value:
        out.text_value_cell(text);
        break;
    case Content::empty_value:
        out.empty_value_cell();
        break;
    case Content::inline_string:
        out.inline_string_cell(text);
        break;
    case Content::formula:
        out.formula_cell(text);
        break;
    }
}

// A run of planned cells held without any Python object: their texts are
// copies of the characters, so the run is written with the GIL released.
class CellRun {
public:
    // Room for `count` cells before the run must be written.
    explicit CellRun(std::size_t count) { cells_.reserve(count); }

    bool empty() const noexcept { return cells_.empty(); }
    std::size_t size() const noexcept { return cells_.size(); }
    std::size_t bound() const noexcept { return bound_; }

    // `key_row` is the row of the cell's key, by which openpyxl's rows()
    // groups the cells; the cell's own row and column name it.
    void add(long long key_row, const CellPlan& plan, long long style_id)
    {
        Cell cell;
        cell.key_row = key_row;
        cell.row = plan.row;
        cell.column = plan.column;
        cell.style_id = style_id;
        cell.content = plan.content;
        cell.type = plan.type;
        cell.number = plan.number;
        if (plan.text) {
            PyObject* text = plan.text.get();
            const TextUnits units = text_units(text);
            const std::size_t size = static_cast<std::size_t>(units.length) *
                                     static_cast<std::size_t>(units.kind);
            // Offsets kept to a multiple of four, so two- and four-byte
            // characters are read aligned.
            const std::size_t offset = (texts_.size() + 3) & ~std::size_t{3};
            texts_.resize(offset + size);
            if (size > 0) {
                std::memcpy(texts_.data() + offset, units.data, size);
            }
            cell.text_offset = offset;
            cell.text_length = units.length;
            cell.text_kind = units.kind;
        }
        bound_ += cell_bound(cell.text_length);
        cells_.push_back(cell);
    }

    // Writes the run's cells; touches no Python object.
    void write(SheetXmlWriter& out, RowCursor& cursor) const noexcept
    {
        for (const Cell& cell : cells_) {
            cursor.enter(out, cell.key_row);
            if (cell.content == Content::skip) {
                continue;
            }
            out.open_cell(cell.column, cell.row, cell.style_id, cell.type);
            const TextUnits text{cell.text_kind, texts_.data() + cell.text_offset,
                                 cell.text_length};
            write_content(out, cell.content, cell.number, text);
        }
    }

    void clear() noexcept
    {
        cells_.clear();
        texts_.clear();
        bound_ = 0;
    }

private:
    struct Cell {
        long long key_row = 0;
        long long row = 0;
        long long column = 0;
        long long style_id = -1;
        double number = 0;
        std::size_t text_offset = 0;
        Py_ssize_t text_length = 0;
        int text_kind = PyUnicode_1BYTE_KIND;
        Content content = Content::skip;
        std::string_view type;  // one of cell_type_of's literals
    };

    std::vector<Cell> cells_;
    std::vector<char> texts_;
    std::size_t bound_ = 0;
};

// Writes the run with the GIL released: the sink was flushed before the
// run began and the run's bound fits its room, so nothing flushes (which
// would need the GIL) in between.
void write_run_released(SheetXmlWriter& out, RowCursor& cursor, CellRun& run)
{
    if (run.empty()) {
        return;
    }
    Py_BEGIN_ALLOW_THREADS
    run.write(out, cursor);
    Py_END_ALLOW_THREADS
    run.clear();
}

}  // namespace

bool SheetRows::read_workbook_settings()
{
    workbook_ = attribute_or_nothing(worksheet_, layout_.parent_name.get());
    if (!workbook_ || Py_TYPE(workbook_.get()) != as_type(layout_.workbook_type)) {
        return false;
    }
    cell_styles_ = attribute_or_nothing(workbook_.get(), layout_.cell_styles_name.get());
    if (!cell_styles_ || Py_TYPE(cell_styles_.get()) != as_type(layout_.indexed_list_type)) {
        return false;
    }
    Ref iso_dates = attribute_or_nothing(workbook_.get(), layout_.iso_dates_name.get());
    if (!iso_dates || !PyBool_Check(iso_dates.get())) {
        return false;
    }
    iso_dates_ = iso_dates.get() == Py_True;
    Ref epoch = attribute_or_nothing(workbook_.get(), layout_.epoch_name.get());
    if (!epoch) {
        return false;
    }
    if (epoch.get() == layout_.windows_epoch.get()) {
        epoch_ = DayEpoch{date_ordinal(1899, 12, 30), true};
    }
    else if (epoch.get() == layout_.mac_epoch.get()) {
        epoch_ = DayEpoch{date_ordinal(1904, 1, 1), false};
    }
    else {
        return false;
    }
    return true;
}

bool SheetRows::collect()
{
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) {
            swallow_ordinary_error();
            return false;
        }
    }
    if (Py_TYPE(worksheet_) != as_type(layout_.worksheet_type) || !read_workbook_settings()) {
        return false;
    }
    // rows() adds an empty row for every row dimension; those and their
    // attributes are left to openpyxl.
    Ref dimensions = attribute_or_nothing(worksheet_, layout_.row_dimensions_name.get());
    if (!dimensions || Py_TYPE(dimensions.get()) != as_type(layout_.dimension_holder_type) ||
        PyDict_Size(dimensions.get()) != 0) {
        return false;
    }
    Ref cells = attribute_or_nothing(worksheet_, layout_.cells_name.get());
    if (!cells || !PyDict_CheckExact(cells.get())) {
        return false;
    }
    const SheetFacts facts{layout_, worksheet_, epoch_, iso_dates_};
    entries_.clear();
    byte_bound_ = 0;
    entries_.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(cells.get())));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* cell = nullptr;
    CellPlan plan;
    while (PyDict_Next(cells.get(), &position, &key, &cell)) {
        Entry entry;
        if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2 ||
            !exact_int(PyTuple_GET_ITEM(key, 0), entry.row) ||
            !exact_int(PyTuple_GET_ITEM(key, 1), entry.column) || !plan_cell(facts, cell, plan)) {
            entries_.clear();
            return false;
        }
        entry.cell = Ref::borrow(cell);
        entries_.push_back(std::move(entry));
        byte_bound_ += cell_bound(plan.text ? PyUnicode_GET_LENGTH(plan.text.get()) : 0);
    }
    sort_entries();
    return true;
}

void SheetRows::sort_entries()
{
    // sorted(self.ws._cells.items()): by row, then column. The keys are
    // distinct, so any sort gives this one order.
    auto before = [](const Entry& a, const Entry& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    };
    if (entries_.empty() || std::is_sorted(entries_.begin(), entries_.end(), before)) {
        return;
    }
    long long first_row = entries_.front().row;
    long long last_row = first_row;
    for (const Entry& entry : entries_) {
        first_row = std::min(first_row, entry.row);
        last_row = std::max(last_row, entry.row);
    }
    const auto span = static_cast<unsigned long long>(last_row) -
                      static_cast<unsigned long long>(first_row);
    if (span >= 4 * static_cast<unsigned long long>(entries_.size())) {
        std::sort(entries_.begin(), entries_.end(), before);
        return;
    }
    // A frame's cells come a column at a time: one counting pass puts them
    // in row order, each row's cells in the order met (their columns
    // already rising when the columns were placed in order); a row still
    // out of order is sorted on its own.
    const std::size_t rows = static_cast<std::size_t>(span) + 1;
    std::vector<std::size_t> starts(rows + 1, 0);
    for (const Entry& entry : entries_) {
        ++starts[static_cast<std::size_t>(entry.row - first_row) + 1];
    }
    for (std::size_t row = 0; row < rows; ++row) {
        starts[row + 1] += starts[row];
    }
    std::vector<Entry> sorted(entries_.size());
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (Entry& entry : entries_) {
        sorted[next[static_cast<std::size_t>(entry.row - first_row)]++] = std::move(entry);
    }
    for (std::size_t row = 0; row < rows; ++row) {
        auto begin = sorted.begin() + static_cast<std::ptrdiff_t>(starts[row]);
        auto end = sorted.begin() + static_cast<std::ptrdiff_t>(starts[row + 1]);
        if (!std::is_sorted(begin, end, before)) {
            std::sort(begin, end, before);
        }
    }
    entries_ = std::move(sorted);
}

void SheetRows::write(SheetXmlWriter& out)
{
    const SheetFacts facts{layout_, worksheet_, epoch_, iso_dates_};
    StyleIds style_ids(cell_styles_.get(), layout_.add_name.get());
    CellPlan plan;
    RowCursor cursor;
    ByteSink& sink = out.sink();
    // The cells are planned (and their styles registered) under the GIL a
    // run at a time; each run is then written without it, so other threads
    // run meanwhile.
    CellRun run(cells_between_signal_checks);
    sink.flush();
    for (const Entry& entry : entries_) {
        if (run.size() == cells_between_signal_checks) {
            write_run_released(out, cursor, run);
            sink.flush();
            if (PyErr_CheckSignals() < 0) {
                throw_error_set();
            }
        }
        if (!plan_cell(facts, entry.cell.get(), plan)) {
            // Only code run in between (a signal handler, the style list)
            // could have changed the cell since it was collected.
            PyErr_SetString(PyExc_RuntimeError, "worksheet changed while it was being saved");
            throw_error_set();
        }
        const long long style_id =
            plan.style ? style_ids.id_of(plan.style_ints, plan.style.get()) : -1;
        const std::size_t bound = cell_bound(plan.text ? PyUnicode_GET_LENGTH(plan.text.get()) : 0);
        if (run.bound() + bound > ByteSink::capacity) {
            write_run_released(out, cursor, run);
            sink.flush();
        }
        if (bound > ByteSink::capacity) {
            // A text too long for any run: written here, where the sink
            // may flush as it fills.
            cursor.enter(out, entry.row);
            if (plan.content != Content::skip) {
                out.open_cell(plan.column, plan.row, style_id, plan.type);
                write_content(out, plan.content, plan.number,
                              plan.text ? text_units(plan.text.get()) : TextUnits{});
            }
            sink.flush();
            continue;
        }
        run.add(entry.row, plan, style_id);
    }
    write_run_released(out, cursor, run);
    if (cursor.open) {
        out.close_row();
    }
}

}  // namespace xt
