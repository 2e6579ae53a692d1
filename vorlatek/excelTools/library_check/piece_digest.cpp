// Content digests of library pieces (see piece_digest.hpp). The byte
// stream digested is framed: a tag, the payload's length in decimal, ':',
// the payload; composites give their item count instead of a length.
#include "piece_digest.hpp"

#include <datetime.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string_view>

#include "../core/error.hpp"
#include "../core/ref.hpp"
#include "lookup.hpp"

namespace xt::library_check {

namespace {

struct NotGenuine {};

void framed(std::string& out, char tag, std::string_view payload)
{
    out.push_back(tag);
    out.append(std::to_string(payload.size()));
    out.push_back(':');
    out.append(payload);
}

void composite(std::string& out, char tag, const std::vector<std::string>& parts)
{
    out.push_back(tag);
    out.append(std::to_string(parts.size()));
    out.push_back(':');
    for (const std::string& part : parts) {
        out.append(part);
    }
}

std::string utf8_of(PyObject* text)
{
    Ref bytes = Ref::checked(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

std::string text_of_object(PyObject* obj, bool as_repr)
{
    Ref text = Ref::checked(as_repr ? PyObject_Repr(obj) : PyObject_Str(obj));
    return utf8_of(text.get());
}

Ref attribute(PyObject* obj, const char* name) { return Ref::checked(PyObject_GetAttrString(obj, name)); }

// "module.qualname" as the object says; "?" for a missing part.
std::string type_name(PyObject* type)
{
    std::string name;
    for (const char* part : {"__module__", "__qualname__"}) {
        Ref value = Ref::steal(PyObject_GetAttrString(type, part));
        if (!value) {
            swallow_ordinary_error();
        }
        name.append(value && PyUnicode_Check(value.get()) ? utf8_of(value.get()) : std::string("?"));
        if (part[2] == 'm') {
            name.push_back('.');
        }
    }
    return name;
}

class Digester {
public:
    explicit Digester(const std::vector<std::string>& folders) : folders_(folders)
    {
        Ref contextlib = Ref::checked(PyImport_ImportModule("contextlib"));
        Ref decorate = attribute(contextlib.get(), "contextmanager");
        Ref wrapped = Ref::checked(PyObject_CallFunctionObjArgs(decorate.get(), decorate.get(), nullptr));
        helper_code_ = attribute(wrapped.get(), "__code__");
        Ref functools = Ref::checked(PyImport_ImportModule("functools"));
        lru_wrapper_type_ = attribute(functools.get(), "_lru_cache_wrapper");
        Ref re = Ref::checked(PyImport_ImportModule("re"));
        pattern_type_ = attribute(re.get(), "Pattern");
        Ref os_path = Ref::checked(PyImport_ImportModule("os.path"));
        realpath_ = attribute(os_path.get(), "realpath");
        if (PyDateTimeAPI == nullptr) {
            PyDateTime_IMPORT;
            if (PyDateTimeAPI == nullptr) {
                throw_error_set();
            }
        }
    }

    std::string piece(PyObject* v)
    {
        PyTypeObject* t = Py_TYPE(v);
        if (PyFunction_Check(v)) {
            return function(v);
        }
        if (t == &PyProperty_Type) {
            std::vector<std::string> parts;
            for (const char* part : {"fget", "fset", "fdel"}) {
                Ref f = attribute(v, part);
                parts.push_back(f.get() == Py_None ? none() : function(f.get()));
            }
            return composed('Q', parts);
        }
        if (t == &PyStaticMethod_Type || t == &PyClassMethod_Type) {
            Ref f = attribute(v, "__func__");
            return composed(t == &PyStaticMethod_Type ? 's' : 'k', {function(f.get())});
        }
        if (as_object(t) == lru_wrapper_type_.get()) {
            Ref f = attribute(v, "__wrapped__");
            return composed('L', {function(f.get())});
        }
        if (PyType_Check(v)) {
            return klass(v);
        }
        return value(v, true);
    }

private:
    static std::string none()
    {
        std::string out;
        framed(out, 'N', "");
        return out;
    }

    static std::string composed(char tag, const std::vector<std::string>& parts)
    {
        std::string out;
        composite(out, tag, parts);
        return out;
    }

    bool inside(PyObject* filename)
    {
        if (!PyUnicode_Check(filename)) {
            return false;
        }
        const std::string key = utf8_of(filename);
        auto known = resolved_.find(key);
        if (known == resolved_.end()) {
            Ref real = Ref::checked(PyObject_CallFunctionObjArgs(realpath_.get(), filename, nullptr));
            if (!PyUnicode_Check(real.get())) {
                throw NotGenuine{};
            }
            known = resolved_.emplace(key, utf8_of(real.get())).first;
        }
        for (const std::string& folder : folders_) {
            if (known->second.compare(0, folder.size(), folder) == 0) {
                return true;
            }
        }
        return false;
    }

    std::string function(PyObject* f)
    {
        if (!PyFunction_Check(f)) {
            throw NotGenuine{};
        }
        PyObject* code = PyFunction_GetCode(f);
        PyObject* closure = PyFunction_GetClosure(f);
        if (code == helper_code_.get() && closure != nullptr && PyTuple_Check(closure) &&
            PyTuple_GET_SIZE(closure) > 0) {
            // @contextmanager: the library's generator function inside
            // contextlib's own wrapper.
            PyObject* held = PyCell_Get(PyTuple_GET_ITEM(closure, 0));
            if (held == nullptr) {
                throw_error_set();
            }
            Ref inner = Ref::steal(held);
            return composed('G', {function(inner.get())});
        }
        Ref filename = attribute(code, "co_filename");
        if (!inside(filename.get())) {
            throw NotGenuine{};
        }
        Ref defaults = attribute(f, "__defaults__");
        Ref keyword_defaults = attribute(f, "__kwdefaults__");
        std::string cells;
        framed(cells, 'I', std::to_string(closure != nullptr && PyTuple_Check(closure) ? PyTuple_GET_SIZE(closure) : 0));
        return composed('P',
                    std::vector<std::string>{code_of(code), value(defaults.get()), value(keyword_defaults.get()), cells});
    }

    std::string code_of(PyObject* code)
    {
        std::vector<std::string> parts(4);
        Ref bytecode = attribute(code, "co_code");
        if (!PyBytes_Check(bytecode.get())) {
            throw NotGenuine{};
        }
        framed(parts[0], 'c', std::string_view(PyBytes_AS_STRING(bytecode.get()),
                                                static_cast<std::size_t>(PyBytes_GET_SIZE(bytecode.get()))));
        Ref table = Ref::steal(PyObject_GetAttrString(code, "co_exceptiontable"));
        if (!table) {
            swallow_ordinary_error();
        }
        if (table && PyBytes_Check(table.get())) {
            framed(parts[1], 'x', std::string_view(PyBytes_AS_STRING(table.get()),
                                                    static_cast<std::size_t>(PyBytes_GET_SIZE(table.get()))));
        }
        else {
            framed(parts[1], 'x', "");
        }
        std::string counts;
        for (const char* name : {"co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_flags"}) {
            Ref number = attribute(code, name);
            if (!counts.empty()) {
                counts.push_back(',');
            }
            counts.append(text_of_object(number.get(), false));
        }
        framed(parts[2], 'a', counts);
        Ref name = attribute(code, "co_name");
        framed(parts[3], 'n', utf8_of(name.get()));
        for (const char* tuple : {"co_names", "co_varnames", "co_freevars", "co_cellvars", "co_consts"}) {
            Ref items = attribute(code, tuple);
            parts.push_back(value(items.get()));
        }
        return composed('C', parts);
    }

    std::string klass(PyObject* cls)
    {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
        if (dict == nullptr) {
            throw NotGenuine{};
        }
        Ref own = Ref::checked(PyList_New(0));
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* member;
        while (PyDict_Next(dict, &position, &key, &member)) {
            PyTypeObject* t = Py_TYPE(member);
            if (PyFunction_Check(member) || t == &PyProperty_Type || t == &PyStaticMethod_Type ||
                t == &PyClassMethod_Type) {
                check_status(PyList_Append(own.get(), key));
            }
        }
        check_status(PyList_Sort(own.get()));
        Ref names = Ref::checked(PyList_AsTuple(own.get()));
        std::vector<std::string> parts(1);
        framed(parts[0], 'Y', type_name(cls));
        PyObject* bases = reinterpret_cast<PyTypeObject*>(cls)->tp_bases;
        for (Py_ssize_t i = 0; bases != nullptr && i < PyTuple_GET_SIZE(bases); ++i) {
            std::string base;
            framed(base, 'Y', type_name(PyTuple_GET_ITEM(bases, i)));
            parts.push_back(base);
        }
        parts.push_back(value(names.get()));
        return composed('K', parts);
    }

    std::vector<std::string> items(PyObject* sequence)
    {
        Ref fast = Ref::checked(PySequence_Fast(sequence, "not a sequence"));
        std::vector<std::string> parts;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
            parts.push_back(value(PySequence_Fast_GET_ITEM(fast.get(), i)));
        }
        return parts;
    }

    std::string value(PyObject* v, bool top = false)
    {
        PyTypeObject* t = Py_TYPE(v);
        std::string out;
        if (v == Py_None) {
            framed(out, 'N', "");
        }
        else if (t == &PyBool_Type) {
            framed(out, v == Py_True ? 'T' : 'F', "");
        }
        else if (t == &PyLong_Type) {
            framed(out, 'I', text_of_object(v, false));
        }
        else if (t == &PyFloat_Type || t == &PyComplex_Type) {
            framed(out, t == &PyFloat_Type ? 'D' : 'J', text_of_object(v, true));
        }
        else if (t == &PyUnicode_Type) {
            framed(out, 'S', utf8_of(v));
        }
        else if (t == &PyBytes_Type) {
            framed(out, 'B', std::string_view(PyBytes_AS_STRING(v), static_cast<std::size_t>(PyBytes_GET_SIZE(v))));
        }
        else if (t == &PyTuple_Type || t == &PyList_Type) {
            composite(out, t == &PyTuple_Type ? '(' : '[', items(v));
        }
        else if (t == &PyFrozenSet_Type || t == &PySet_Type) {
            Ref listed = Ref::checked(PySequence_List(v));
            std::vector<std::string> parts = items(listed.get());
            std::sort(parts.begin(), parts.end());
            composite(out, '{', parts);
        }
        else if (t == &PyDict_Type) {
            std::vector<std::string> parts;
            Py_ssize_t position = 0;
            PyObject* key;
            PyObject* item;
            while (PyDict_Next(v, &position, &key, &item)) {
                parts.push_back(value(key) + value(item));
            }
            std::sort(parts.begin(), parts.end());
            composite(out, 'M', parts);
        }
        else if (PyCode_Check(v)) {
            out = code_of(v);
        }
        else if (v == Py_Ellipsis) {
            framed(out, 'E', "");
        }
        else if (t == PyDateTimeAPI->DateTimeType || t == PyDateTimeAPI->DateType ||
                 t == PyDateTimeAPI->TimeType || t == PyDateTimeAPI->DeltaType) {
            framed(out, 'W', text_of_object(v, true));
        }
        else if (as_object(t) == pattern_type_.get()) {
            Ref pattern = attribute(v, "pattern");
            Ref flags = attribute(v, "flags");
            composite(out, 'R', std::vector<std::string>{value(pattern.get()), value(flags.get())});
        }
        else if (PyType_Check(v)) {
            framed(out, 'Y', type_name(v));
        }
        else if (top) {
            throw NotGenuine{};
        }
        else {
            framed(out, '?', type_name(as_object(t)));
        }
        return out;
    }

    const std::vector<std::string>& folders_;
    std::map<std::string, std::string> resolved_;
    Ref helper_code_;
    Ref lru_wrapper_type_;
    Ref pattern_type_;
    Ref realpath_;
};

std::string fnv1a(const std::string& data)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char byte : data) {
        hash = (hash ^ byte) * 0x100000001b3ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(text, 16);
}

}  // namespace

std::vector<std::string> library_folders()
{
    std::vector<std::string> folders;
    Ref os_path = Ref::checked(PyImport_ImportModule("os.path"));
    Ref realpath = attribute(os_path.get(), "realpath");
    Ref dirname = attribute(os_path.get(), "dirname");
    for (const char* name : {"pandas", "openpyxl", "et_xmlfile", "xml"}) {
        Ref module = Ref::steal(PyImport_ImportModule(name));
        if (!module) {
            swallow_ordinary_error();
            continue;
        }
        Ref file = Ref::steal(PyObject_GetAttrString(module.get(), "__file__"));
        if (!file || !PyUnicode_Check(file.get())) {
            if (!file) {
                swallow_ordinary_error();
            }
            continue;
        }
        Ref real = Ref::checked(PyObject_CallFunctionObjArgs(realpath.get(), file.get(), nullptr));
        Ref folder = Ref::checked(PyObject_CallFunctionObjArgs(dirname.get(), real.get(), nullptr));
        folders.push_back(utf8_of(folder.get()) + "/");
    }
    return folders;
}

std::vector<std::string> installed_folders()
{
    std::vector<std::string> folders;
    Ref sysconfig = Ref::checked(PyImport_ImportModule("sysconfig"));
    Ref paths = Ref::checked(PyObject_CallMethod(sysconfig.get(), "get_paths", nullptr));
    Ref os_path = Ref::checked(PyImport_ImportModule("os.path"));
    Ref realpath = attribute(os_path.get(), "realpath");
    for (const char* key : {"stdlib", "platstdlib", "purelib", "platlib"}) {
        if (!PyDict_Check(paths.get())) {
            break;
        }
        Ref name = Ref::checked(PyUnicode_FromString(key));
        PyObject* path = PyDict_GetItemWithError(paths.get(), name.get());
        if (path == nullptr && PyErr_Occurred()) {
            throw_error_set();
        }
        if (path == nullptr || !PyUnicode_Check(path)) {
            continue;
        }
        Ref real = Ref::checked(PyObject_CallFunctionObjArgs(realpath.get(), path, nullptr));
        folders.push_back(utf8_of(real.get()) + "/");
    }
    return folders;
}

bool piece_digest(PyObject* piece, const std::vector<std::string>& folders, std::string& digest)
{
    try {
        Digester digester(folders);
        digest = fnv1a(digester.piece(piece));
        return true;
    }
    catch (const NotGenuine&) {
        return false;
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return false;
    }
}

}  // namespace xt::library_check
