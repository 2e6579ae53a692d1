#include "workbook_release.hpp"

#include <cstddef>
#include <new>
#include <unordered_map>
#include <vector>

#include "../core/compat.hpp"

namespace xt {

namespace {

// Beyond this many objects besides the cells, the workbook is left to the
// collector: something unexpected reaches far beyond it.
constexpr std::size_t max_objects = 100000;
// A dict this large is first looked at as a dict of cells.
constexpr Py_ssize_t cell_dict_size = 64;
// Containers other than leaves the cells of one dict may refer to (their
// sheet, mostly): more and the dict is not taken for one of cells.
constexpr std::size_t max_cell_referents = 16;

// Objects the walk does not go into: they belong to the program rather than
// to the workbook (a reference from one of them into the workbook counts as
// one from outside, which keeps it alive).
bool walked(PyObject* obj) noexcept
{
    return PyObject_IS_GC(obj) && !PyType_Check(obj) && !PyModule_Check(obj) && !PyFunction_Check(obj) &&
           !PyCode_Check(obj);
}

bool finalized(PyTypeObject* type) noexcept
{
    return type->tp_finalize != nullptr || type->tp_del != nullptr;
}

// An object that refers to nothing but types and objects outside the
// collector, none of which runs code when freed.
int visit_leaf_part(PyObject* obj, void* plain)
{
    if (!PyType_Check(obj) && (PyObject_IS_GC(obj) || finalized(Py_TYPE(obj)))) {
        *static_cast<bool*>(plain) = false;
    }
    return 0;
}

bool is_leaf(PyObject* obj) noexcept
{
    // The values cells hold most, told apart by their exact type first.
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyFloat_Type || type == &PyUnicode_Type || type == &PyLong_Type || obj == Py_None) {
        return true;
    }
    // The (row, column) keys of a cell dict.
    if (type == &PyTuple_Type && PyTuple_GET_SIZE(obj) == 2 && PyLong_CheckExact(PyTuple_GET_ITEM(obj, 0)) &&
        PyLong_CheckExact(PyTuple_GET_ITEM(obj, 1))) {
        return true;
    }
    if (PyType_Check(obj)) {
        return true;
    }
    if (finalized(Py_TYPE(obj))) {
        return false;
    }
    if (!PyObject_IS_GC(obj)) {
        return true;
    }
    bool plain = true;
    Py_TYPE(obj)->tp_traverse(obj, visit_leaf_part, &plain);
    return plain;
}

class Graph {
public:
    explicit Graph(PyObject* root) : root_(root) {}

    // Everything reachable from the root, with the references each object
    // gets from the others; false when the walk went too far or failed.
    bool walk()
    {
        add(root_);
        for (std::size_t i = 0; i < order_.size(); ++i) {
            if (failed_) {
                return false;
            }
            PyObject* obj = order_[i];
            if (PyDict_CheckExact(obj) && PyDict_GET_SIZE(obj) >= cell_dict_size && take_cell_dict(obj)) {
                continue;
            }
            if (Py_TYPE(obj)->tp_traverse(obj, visit_reference, this) != 0) {
                return false;
            }
        }
        return !failed_;
    }

    // The collector's reasoning: an object with more references than the
    // graph accounts for (or a weak reference) is reachable from outside,
    // and so is everything it reaches. False when the counts make no sense.
    bool mark_reachable()
    {
        std::vector<PyObject*> reached;
        for (PyObject* obj : order_) {
            Node& node = nodes_[obj];
            const Py_ssize_t outside = Py_REFCNT(obj) - node.internal - (obj == root_ ? 1 : 0);
            if (outside < 0) {
                return false;
            }
            if (outside > 0 || weakly_referenced(obj)) {
                node.reachable = true;
                reached.push_back(obj);
            }
        }
        while (!reached.empty()) {
            PyObject* obj = reached.back();
            reached.pop_back();
            const Node& node = nodes_[obj];
            if (node.cell_dict != no_cell_dict) {
                for (const Referent& referent : cell_dicts_[node.cell_dict].referents) {
                    reach(referent.obj, reached);
                }
                continue;
            }
            Reach walk{this, &reached};
            if (Py_TYPE(obj)->tp_traverse(obj, visit_reached, &walk) != 0 || failed_) {
                return false;
            }
        }
        return true;
    }

    // Empties the cell dicts nothing outside reaches: their cells go at once.
    // Only cells and leaves are freed by it (no code runs): a container the
    // cells alone hold (which could free objects with finalizers) leaves the
    // dict to the collector, which runs finalizers before it clears anything.
    // A reference the caller holds to `obj` counts as one from inside.
    void expect(PyObject* obj) noexcept
    {
        auto entry = nodes_.find(obj);
        if (entry != nodes_.end()) {
            ++entry->second.internal;
        }
    }

    // `obj` was walked and found reachable from outside the writer.
    bool reached(PyObject* obj) const noexcept
    {
        auto entry = nodes_.find(obj);
        return entry != nodes_.end() && entry->second.reachable;
    }

    void clear_unreachable_cell_dicts()
    {
        for (const CellDict& cells : cell_dicts_) {
            bool containers_stay = true;
            for (const Referent& referent : cells.referents) {
                containers_stay = containers_stay && Py_REFCNT(referent.obj) > referent.references;
            }
            if (containers_stay && !nodes_[cells.dict].reachable) {
                PyDict_Clear(cells.dict);
            }
        }
    }

private:
    static constexpr std::size_t no_cell_dict = static_cast<std::size_t>(-1);

    struct Node {
        Py_ssize_t internal = 0;  // references from objects of the graph
        bool reachable = false;
        std::size_t cell_dict = no_cell_dict;
    };
    struct Referent {
        PyObject* obj;
        Py_ssize_t references;
    };
    struct CellDict {
        PyObject* dict;
        std::vector<Referent> referents;  // what its cells refer to, leaves aside
    };
    struct Reach {
        Graph* graph;
        std::vector<PyObject*>* reached;
    };

    // Visit procedures are called from the interpreter's C code: nothing
    // may be thrown through them.
    static int visit_reference(PyObject* obj, void* graph)
    {
        static_cast<Graph*>(graph)->count(obj, 1);
        return static_cast<Graph*>(graph)->failed_ ? -1 : 0;
    }

    static int visit_reached(PyObject* obj, void* arg)
    {
        Reach* walk = static_cast<Reach*>(arg);
        walk->graph->reach(obj, *walk->reached);
        return walk->graph->failed_ ? -1 : 0;
    }

    void add(PyObject* obj) noexcept { count(obj, 0); }

    void count(PyObject* obj, Py_ssize_t references) noexcept
    {
        if (!walked(obj)) {
            return;
        }
        try {
            auto [entry, added] = nodes_.try_emplace(obj);
            entry->second.internal += references;
            if (added) {
                order_.push_back(obj);
                // Stops even within the traversal of one large container.
                failed_ = failed_ || order_.size() > max_objects;
            }
        }
        catch (const std::bad_alloc&) {
            failed_ = true;
        }
    }

    void reach(PyObject* obj, std::vector<PyObject*>& reached) noexcept
    {
        auto entry = nodes_.find(obj);
        if (entry == nodes_.end() || entry->second.reachable) {
            return;
        }
        entry->second.reachable = true;
        try {
            reached.push_back(obj);
        }
        catch (const std::bad_alloc&) {
            failed_ = true;
        }
    }

    static bool weakly_referenced(PyObject* obj) noexcept
    {
        return Py_TYPE(obj)->tp_weaklistoffset != 0 && *PyObject_GET_WEAKREFS_LISTPTR(obj) != nullptr;
    }

    // A dict whose values are all of one type, each referenced by the dict
    // alone, holding leaves and a few containers (its sheet): its cells. The
    // containers they refer to are counted once per reference, and the cells
    // are not walked one by one. False (nothing counted) for any other dict.
    bool take_cell_dict(PyObject* dict)
    {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (!PyDict_Next(dict, &position, &key, &value)) {
            return false;
        }
        PyTypeObject* type = Py_TYPE(value);
        if (!PyObject_IS_GC(value) || type->tp_weaklistoffset != 0 || finalized(type)) {
            return false;
        }
        CellDict cells{dict, {}};
        // The entries are looked at a block at a time, each cell and what it
        // refers to fetched into the cache a few entries ahead: the walk is
        // bound by memory, not by the work per cell.
        constexpr std::size_t block = 1024;
        constexpr std::size_t ahead = 8;
        PyObject* keys[block];
        PyObject* values[block];
        position = 0;
        for (;;) {
            std::size_t count = 0;
            while (count < block && PyDict_Next(dict, &position, &key, &value)) {
                keys[count] = key;
                values[count] = value;
                ++count;
            }
            if (count == 0) {
                break;
            }
            for (std::size_t i = 0; i < count; ++i) {
                if (i + 2 * ahead < count) {
                    __builtin_prefetch(keys[i + 2 * ahead]);
                    __builtin_prefetch(values[i + 2 * ahead]);
                }
                if (i + ahead < count && Py_TYPE(values[i + ahead]) == type) {
                    type->tp_traverse(values[i + ahead], visit_prefetch, nullptr);
                }
                if (Py_TYPE(values[i]) != type || Py_REFCNT(values[i]) != 1 || !is_leaf(keys[i])) {
                    return false;
                }
                CellScan scan{&cells.referents, true};
                if (type->tp_traverse(values[i], visit_cell_part, &scan) != 0 || !scan.plain) {
                    return false;
                }
            }
        }
        for (const Referent& referent : cells.referents) {
            count(referent.obj, referent.references);
        }
        try {
            nodes_[dict].cell_dict = cell_dicts_.size();
            cell_dicts_.push_back(std::move(cells));
        }
        catch (const std::bad_alloc&) {
            failed_ = true;
        }
        return true;
    }

    struct CellScan {
        std::vector<Referent>* referents;
        bool plain;
    };

    static int visit_prefetch(PyObject* obj, void*)
    {
        __builtin_prefetch(obj);
        return 0;
    }

    static int visit_cell_part(PyObject* obj, void* arg)
    {
        CellScan* scan = static_cast<CellScan*>(arg);
        if (is_leaf(obj)) {
            return 0;
        }
        if (!walked(obj) || finalized(Py_TYPE(obj))) {
            scan->plain = false;
            return -1;
        }
        for (Referent& referent : *scan->referents) {
            if (referent.obj == obj) {
                ++referent.references;
                return 0;
            }
        }
        if (scan->referents->size() == max_cell_referents) {
            scan->plain = false;
            return -1;
        }
        try {
            scan->referents->push_back({obj, 1});
        }
        catch (const std::bad_alloc&) {
            scan->plain = false;
            return -1;
        }
        return 0;
    }

    PyObject* root_;
    std::unordered_map<PyObject*, Node> nodes_;
    std::vector<PyObject*> order_;
    std::vector<CellDict> cell_dicts_;
    bool failed_ = false;
};

}  // namespace

void collect_young_garbage()
{
    Ref gc_module = Ref::checked(PyImport_ImportModule("gc"));
    Ref enabled = Ref::steal(PyObject_CallMethod(gc_module.get(), "isenabled", nullptr));
    Ref collected = enabled.get() == Py_True
                        ? Ref::steal(PyObject_CallMethod(gc_module.get(), "collect", "i", 1))
                        : Ref::borrow(Py_None);
    if (!enabled || !collected) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw_error_set();
        }
        PyErr_Clear();
    }
}

bool release_written_workbook(Ref writer, const OwedCells::Grids& owed) noexcept
{
    if (!writer) {
        return !owed.empty();
    }
    bool holes_seen = !owed.empty();
    PendingError pending;
    try {
        // No Python code runs from here until the dicts are cleared, so the
        // counts stay true.
        Graph graph(writer.get());
        if (graph.walk()) {
            for (const auto& grid : owed) {
                graph.expect(grid->worksheet.get());
                graph.expect(grid->cells.get());
            }
            if (graph.mark_reachable()) {
                graph.clear_unreachable_cell_dicts();
                holes_seen = false;
                for (const auto& grid : owed) {
                    holes_seen = holes_seen || graph.reached(grid->cells.get());
                }
            }
        }
    }
    catch (...) {
        // Out of memory while walking: the collector frees the workbook.
    }
    pending.restore();
    return holes_seen;
}

}  // namespace xt
