#include "sheet_member.hpp"

#include <string_view>

#include "../core/error.hpp"
#include "../core/pyapi.hpp"
#include "../library_check/lookup.hpp"
#include "../workbook/byte_sink.hpp"
#include "../workbook/sheet_xml.hpp"
#include "member_drain.hpp"
#include "save_layout.hpp"
#include "sheet_rows.hpp"

namespace xt {

namespace {

thread_local DirectMembers* innermost = nullptr;

}  // namespace

PendingSheet::PendingSheet() = default;
PendingSheet::PendingSheet(PendingSheet&&) noexcept = default;
PendingSheet& PendingSheet::operator=(PendingSheet&&) noexcept = default;
PendingSheet::~PendingSheet()
{
    // The rows first: they borrow the worksheet.
    rows.reset();
}

DirectMembers::DirectMembers() noexcept : outer_(innermost) { innermost = this; }

DirectMembers::~DirectMembers() { innermost = outer_; }

DirectMembers* DirectMembers::current() noexcept { return innermost; }

void DirectMembers::add(PendingSheet sheet) { sheets_.push_back(std::move(sheet)); }

bool DirectMembers::holds(PyObject* path) const
{
    for (const PendingSheet& sheet : sheets_) {
        if (check_status(PyObject_RichCompareBool(sheet.out_path.get(), path, Py_EQ)) == 1) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<PendingSheet> DirectMembers::take(PyObject* path)
{
    for (auto it = sheets_.begin(); it != sheets_.end(); ++it) {
        if (check_status(PyObject_RichCompareBool(it->out_path.get(), path, Py_EQ)) == 1) {
            auto sheet = std::make_unique<PendingSheet>(std::move(*it));
            sheets_.erase(it);
            return sheet;
        }
    }
    return nullptr;
}

bool copy_sheet_member(const SaveLayout& layout, PyObject* src, PyObject* dest)
{
    DirectMembers* members = DirectMembers::current();
    if (members == nullptr) {
        return false;
    }
    Ref name = attribute_or_nothing(src, interned("name").get());
    if (!name || !PyUnicode_CheckExact(name.get())) {
        return false;
    }
    std::unique_ptr<PendingSheet> sheet = members->take(name.get());
    if (!sheet) {
        return false;
    }
    // fdst.write, looked up once as the copy looks it up; then the part
    // openpyxl wrote around the marker, read whole (it is small).
    Ref write = get_attr(dest, interned("write").get());
    Ref around = call_method(src, interned("read").get());
    if (!PyBytes_CheckExact(around.get())) {
        PyErr_SetString(PyExc_TypeError, "worksheet part read as something other than bytes");
        throw_error_set();
    }
    const char* marker = PyUnicode_AsUTF8(layout.marker.get());
    if (marker == nullptr) {
        throw_error_set();
    }
    const std::string_view part(PyBytes_AS_STRING(around.get()),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(around.get())));
    const std::string_view before = "<sheetData>";
    const std::string_view after = "</sheetData>";
    std::string context(before);
    context.append(marker);
    context.append(after);
    const std::size_t at = part.find(context);
    if (at == std::string_view::npos) {
        PyErr_SetString(PyExc_RuntimeError, "worksheet part without its cell data marker");
        throw_error_set();
    }
    MemberDrain drain(write.get());
    {
        ByteSink sink(drain);
        SheetXmlWriter xml(sink, layout.dialect);
        sink.put(part.substr(0, at + before.size()));
        sheet->rows->write(xml);
        sink.put(part.substr(at + context.size() - after.size()));
        sink.flush();
    }
    drain.finish();
    return true;
}

}  // namespace xt
