// The route guard (see route_guard.hpp).
#include "route_guard.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <unordered_set>
#include <vector>

#include "../core/error.hpp"
#include "../core/ref.hpp"
#include "lookup.hpp"
#include "piece_digest.hpp"

namespace xt::library_check {

namespace {

enum Need { required, optional };
// Each route's bit in a piece's set of routes, named as the route.
#define NEEDS(route, needed)
#define ROUTE(name) constexpr unsigned name = 1U << static_cast<unsigned>(Route::name);
#include "routes.inc"
#undef ROUTE
#define ROUTE(name) +1
constexpr std::size_t route_count = 0
#include "routes.inc"
    ;
#undef ROUTE
#undef NEEDS

// What each route needs of other routes' pieces besides its own.
struct RouteNeed {
    Route route;
    Route needed;
};
#define ROUTE(name)
#define NEEDS(route, needed) {Route::route, Route::needed},
constexpr RouteNeed route_needs[] = {
#include "routes.inc"
};
#undef NEEDS
#undef ROUTE

constexpr bool needs_are_direct()
{
    // One level: a needed route needs nothing itself, and none needs itself.
    for (const RouteNeed& need : route_needs) {
        for (const RouteNeed& other : route_needs) {
            if (other.route == need.needed || need.route == need.needed) {
                return false;
            }
        }
    }
    return true;
}
static_assert(needs_are_direct(), "a route in routes.inc needs a route that needs another");

struct PieceSpec {
    unsigned routes;
    const char* module;
    const char* path;  // "name" or "Class.attribute"
    Need need;
};

#define PIECE(routes, module, path, need) {routes, module, path, need},
constexpr PieceSpec piece_specs[] = {
#include "pieces.inc"
};
#undef PIECE

struct VerifiedRow {
    int minor;
    const char* piece;
    const char* digest;
};

#define VERIFIED(minor, piece, digest, releases) {minor, piece, digest},
constexpr VerifiedRow verified_rows[] = {
#include "verified_digests.inc"
    {0, "", ""},
};
#undef VERIFIED

#define PYTHON(minor, where) minor,
constexpr int supported_minors[] = {
#include "pythons.inc"
};
#undef PYTHON

constexpr bool rows_name_supported_minors()
{
    for (const VerifiedRow& row : verified_rows) {
        bool supported = row.minor == 0;
        for (int minor : supported_minors) {
            supported = supported || row.minor == minor;
        }
        if (!supported) {
            return false;
        }
    }
    return true;
}
static_assert(rows_name_supported_minors(),
              "a verified digest row names a Python minor version pythons.inc does not list");

bool verified(const std::string& piece, const std::string& digest)
{
    static const std::unordered_set<std::string> table = [] {
        std::unordered_set<std::string> rows;
        for (const VerifiedRow& row : verified_rows) {
            if (row.minor == PY_MINOR_VERSION) {
                rows.insert(std::string(row.piece) + " " + row.digest);
            }
        }
        return rows;
    }();
    return table.count(piece + " " + digest) != 0;
}

// A piece as found now: where it is held and what it is (borrowed for the
// moment of the check, owned once verified).
struct Found {
    Ref holder;  // the module namespace dict or the class
    Ref value;   // nullptr when absent
    Ref code;    // a function's code and defaults, which can be reassigned in place
    Ref defaults;
    Ref keyword_defaults;
};

// The names of a piece as str objects, made once: the module's, the name in
// its namespace and the class attribute's (nullptr for a module global).
struct PieceNames {
    PyObject* module = nullptr;
    PyObject* first = nullptr;
    PyObject* attribute = nullptr;
};

constexpr std::size_t piece_count = sizeof(piece_specs) / sizeof(piece_specs[0]);

// Made once and kept for the process, like the interned names.
const PieceNames& names_of(std::size_t index)
{
    static auto* made = new std::array<PieceNames, piece_count>();
    PieceNames& entry = (*made)[index];
    if (entry.module == nullptr) {
        const PieceSpec& spec = piece_specs[index];
        const char* dot = std::strchr(spec.path, '.');
        const std::string first = dot == nullptr ? std::string(spec.path) : std::string(spec.path, dot);
        Ref module = Ref::checked(PyUnicode_InternFromString(spec.module));
        Ref name = Ref::checked(PyUnicode_InternFromString(first.c_str()));
        Ref attribute = dot == nullptr ? Ref() : Ref::checked(PyUnicode_InternFromString(dot + 1));
        entry.first = name.release();
        entry.attribute = attribute.release();
        entry.module = module.release();
    }
    return entry;
}

// Looks the piece up; false when its module or class cannot be had.
bool find(std::size_t index, Found& found)
{
    const PieceNames& piece = names_of(index);
    Ref module = Ref::steal(PyImport_GetModule(piece.module));
    if (!module) {
        if (PyErr_Occurred()) {
            return false;
        }
        module = Ref::steal(PyImport_Import(piece.module));
        if (!module) {
            return false;
        }
    }
    PyObject* dict = PyModule_Check(module.get()) ? PyModule_GetDict(module.get()) : nullptr;
    if (dict == nullptr) {
        return false;
    }
    PyObject* value = PyDict_GetItemWithError(dict, piece.first);
    if (value == nullptr && PyErr_Occurred()) {
        return false;
    }
    found.holder = Ref::borrow(dict);
    if (piece.attribute != nullptr) {
        if (value == nullptr || !PyType_Check(value)) {
            return false;
        }
        found.holder = Ref::borrow(value);
        value = class_attribute(reinterpret_cast<PyTypeObject*>(value), piece.attribute);
    }
    found.value = Ref::borrow(value);
    if (value != nullptr && PyFunction_Check(value)) {
        found.code = Ref::borrow(PyFunction_GetCode(value));
        found.defaults = Ref::borrow(PyFunction_GetDefaults(value));
        found.keyword_defaults = Ref::borrow(PyFunction_GetKwDefaults(value));
    }
    return true;
}

bool same(const Found& now, const Found& before)
{
    return now.holder.get() == before.holder.get() && now.value.get() == before.value.get() &&
           now.code.get() == before.code.get() && now.defaults.get() == before.defaults.get() &&
           now.keyword_defaults.get() == before.keyword_defaults.get();
}

// A name a verified function reads from its module, and what it held.
struct GlobalPin {
    Ref globals;
    Ref name;
    Ref value;
};

void collect_names(PyObject* code, std::vector<Ref>& out)
{
    Ref names = Ref::checked(PyObject_GetAttrString(code, "co_names"));
    Ref constants = Ref::checked(PyObject_GetAttrString(code, "co_consts"));
    if (!PyTuple_Check(names.get()) || !PyTuple_Check(constants.get())) {
        return;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        out.push_back(Ref::borrow(PyTuple_GET_ITEM(names.get(), i)));
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        PyObject* constant = PyTuple_GET_ITEM(constants.get(), i);
        if (PyCode_Check(constant)) {
            collect_names(constant, out);
        }
    }
}

// The functions inside a piece: itself, a property's accessors, a static or
// class method's function, the function an lru_cache or @contextmanager
// wrapper holds, and a class's own functions.
void functions_of(PyObject* value, std::vector<Ref>& out, int depth = 0)
{
    if (value == nullptr || value == Py_None || depth > 2) {
        return;
    }
    if (PyFunction_Check(value)) {
        out.push_back(Ref::borrow(value));
        PyObject* closure = PyFunction_GetClosure(value);
        for (Py_ssize_t i = 0; closure != nullptr && PyTuple_Check(closure) && i < PyTuple_GET_SIZE(closure); ++i) {
            PyObject* held = PyCell_GET(PyTuple_GET_ITEM(closure, i));
            if (held != nullptr && PyFunction_Check(held)) {
                functions_of(held, out, depth + 1);
            }
        }
        return;
    }
    PyTypeObject* t = Py_TYPE(value);
    if (t == &PyProperty_Type) {
        for (const char* part : {"fget", "fset", "fdel"}) {
            Ref accessor = Ref::checked(PyObject_GetAttrString(value, part));
            functions_of(accessor.get(), out, depth + 1);
        }
    }
    else if (t == &PyStaticMethod_Type || t == &PyClassMethod_Type) {
        Ref function = Ref::checked(PyObject_GetAttrString(value, "__func__"));
        functions_of(function.get(), out, depth + 1);
    }
    else if (PyType_Check(value)) {
        // A class's methods the route relies on are pieces of their own.
    }
    else if (PyCallable_Check(value)) {
        // A wrapper (functools.wraps) names what it wraps; an ordinary error
        // looking counts as none, an interrupt is passed on.
        Ref wrapped = Ref::steal(PyObject_GetAttrString(value, "__wrapped__"));
        if (!wrapped) {
            swallow_ordinary_error();
            return;
        }
        functions_of(wrapped.get(), out, depth + 1);
    }
}

void pin_globals(const std::vector<Found>& pieces, std::vector<GlobalPin>& pins)
{
    for (const Found& piece : pieces) {
        std::vector<Ref> functions;
        functions_of(piece.value.get(), functions);
        for (const Ref& function : functions) {
            PyObject* globals = PyFunction_GetGlobals(function.get());
            std::vector<Ref> names;
            collect_names(PyFunction_GetCode(function.get()), names);
            for (Ref& name : names) {
                PyObject* value = PyDict_GetItemWithError(globals, name.get());
                if (value == nullptr && PyErr_Occurred()) {
                    throw_error_set();
                }
                pins.push_back({Ref::borrow(globals), std::move(name), Ref::borrow(value)});
            }
        }
    }
}

bool globals_hold(const std::vector<GlobalPin>& pins)
{
    for (const GlobalPin& entry : pins) {
        PyObject* value = PyDict_GetItemWithError(entry.globals.get(), entry.name.get());
        if (value == nullptr && PyErr_Occurred()) {
            return false;
        }
        if (value != entry.value.get()) {
            return false;
        }
    }
    return true;
}

bool globals_are_library_code(const std::vector<GlobalPin>& pins)
{
    std::vector<std::string> folders = library_folders();
    for (std::string& folder : installed_folders()) {
        folders.push_back(std::move(folder));
    }
    for (const GlobalPin& entry : pins) {
        std::string digest;
        if (entry.value && PyFunction_Check(entry.value.get()) &&
            !piece_digest(entry.value.get(), folders, digest)) {
            return false;
        }
    }
    return true;
}

struct RouteState {
    bool decided = false;
    bool verdict = false;
    std::vector<Found> pieces;  // as last verified, in piece_specs order
    bool globals_pinned = false;
    std::vector<GlobalPin> globals;
    // The globals as last found when one of them was not library code.
    std::vector<GlobalPin> refused_globals;
};

// Kept for the process (never destroyed: their references must not be
// released after the interpreter finalized).
std::array<RouteState, route_count>& states()
{
    static auto* made = new std::array<RouteState, route_count>();
    return *made;
}

// When the environment variable VORLATEK_PIECE_DIGESTS names a file, every
// verification appends a line per piece it digests: "module:path digest", or
// "module:path not-genuine". That is what a maintainer reads to see why a
// route steps aside, and how the tests hold these digests equal to those of
// scripts/library-digests.py. Plain C I/O: no Python code runs mid-check.
void record_digest(const PieceSpec& spec, bool genuine, const std::string& digest)
{
    const char* path = std::getenv("VORLATEK_PIECE_DIGESTS");
    if (path == nullptr || *path == '\0') {
        return;
    }
    if (std::FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s:%s %s\n", spec.module, spec.path, genuine ? digest.c_str() : "not-genuine");
        std::fclose(file);
    }
}

// Verifies every piece of the route from scratch.
bool verify(unsigned route_bit, const std::vector<Found>& pieces)
{
    const std::vector<std::string> folders = library_folders();
    std::size_t index = 0;
    for (const PieceSpec& spec : piece_specs) {
        if ((spec.routes & route_bit) == 0) {
            continue;
        }
        const Found& piece = pieces[index++];
        if (!piece.value) {
            if (spec.need == required) {
                return false;
            }
            continue;
        }
        std::string digest;
        const bool genuine = piece_digest(piece.value.get(), folders, digest);
        record_digest(spec, genuine, digest);
        if (!genuine || !verified(std::string(spec.module) + ":" + spec.path, digest)) {
            return false;
        }
    }
    return true;
}

bool may_run_checked(Route route)
{
    const unsigned route_bit = 1U << static_cast<unsigned>(route);
    RouteState& state = states()[static_cast<std::size_t>(route)];
    std::vector<Found> now;
    for (std::size_t i = 0; i < piece_count; ++i) {
        if ((piece_specs[i].routes & route_bit) == 0) {
            continue;
        }
        Found found;
        if (!find(i, found)) {
            return false;  // an error is set; the caller sorts it out
        }
        now.push_back(std::move(found));
    }
    bool unchanged = state.decided && now.size() == state.pieces.size();
    for (std::size_t i = 0; unchanged && i < now.size(); ++i) {
        unchanged = same(now[i], state.pieces[i]);
    }
    if (!unchanged) {
        state.decided = false;
        state.verdict = verify(route_bit, now);
        state.pieces = std::move(now);
        state.decided = true;
    }
    if (state.verdict && !state.globals_pinned) {
        // A function among the globals that is not the libraries' code (a
        // program's replacement of a helper the pieces call) keeps the
        // route off, and nothing is pinned until all are. They are looked
        // at again once one of them changes, so the route comes back when
        // the program puts the library's own back.
        if (!state.refused_globals.empty() && globals_hold(state.refused_globals)) {
            return false;
        }
        std::vector<GlobalPin> pins;
        pin_globals(state.pieces, pins);
        if (!globals_are_library_code(pins)) {
            state.refused_globals = std::move(pins);
            return false;
        }
        state.refused_globals.clear();
        state.globals = std::move(pins);
        state.globals_pinned = true;
    }
    return state.verdict && globals_hold(state.globals);
}

}  // namespace

bool may_run(Route route)
{
    try {
        bool answer = may_run_checked(route);
        for (const RouteNeed& need : route_needs) {
            if (answer && need.route == route) {
                answer = may_run_checked(need.needed);
            }
        }
        if (PyErr_Occurred()) {
            swallow_ordinary_error();
            return false;
        }
        return answer;
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return false;
    }
}

bool is_library_code(PyObject* piece)
{
    // Pieces are kept alive by the cache, so an identity stays meaningful;
    // never freed, since the interpreter may be gone by the time statics are.
    static auto& known = *new std::vector<std::pair<Ref, bool>>();
    for (const auto& [object, genuine] : known) {
        if (object.get() == piece) {
            return genuine;
        }
    }
    if (piece == nullptr || known.size() >= 64) {
        return false;
    }
    std::string digest;
    bool genuine = false;
    try {
        genuine = piece_digest(piece, library_folders(), digest);
    }
    catch (const PyErrorSet&) {
        swallow_ordinary_error();
        return false;
    }
    known.emplace_back(Ref::borrow(piece), genuine);
    return genuine;
}

bool code_uses_name(PyObject* function, const char* name)
{
    if (function == nullptr || !PyFunction_Check(function)) {
        return false;
    }
    std::vector<Ref> names;
    collect_names(PyFunction_GetCode(function), names);
    for (const Ref& used : names) {
        if (text_equals(used.get(), name)) {
            return true;
        }
    }
    return false;
}

}  // namespace xt::library_check
