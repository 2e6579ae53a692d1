// Frees a written workbook's cells as soon as the write is done with it.
//
// A workbook is a web of reference cycles (every cell names its sheet as
// its parent), so once the writer is let go it waits for the cyclic garbage
// collector, which visits each of its million cells and their values: about
// half a microsecond a cell, paid by whatever the caller runs next. When the
// workbook is provably unreachable, clearing each sheet's dict of cells lets
// reference counting free them at once, several times faster; the rest of
// the workbook (sheets, styles) is small and left to the collector.
#pragma once

#include <Python.h>

#include <cstddef>

#include "../core/ref.hpp"
#include "../write_session/owed_cells.hpp"

namespace xt {

// Whether a write that held this many objects out of the collector is worth
// the walk over its cells.
inline constexpr std::size_t release_worth = 20000;

// A collection of the young generations, when the collector is enabled: the
// garbage the write itself made (the sheet the writer's workbook starts
// with and removes, for one) still names the workbook, which would make it
// look reachable from outside. Runs while the write's cells are still held,
// so that it never visits them. Only an interrupt is passed on.
void collect_young_garbage();

// `writer` is the caller's only reference to the finished writer, handed
// over here. Its cell dicts are cleared only when the reasoning of the
// collector itself, run over everything reachable from the writer, shows
// that nothing else reaches them (no other reference, no weak reference);
// otherwise nothing is touched. `owed` holds the sheets' unmade grid cells
// (cells_route/owed_cells.hpp); its references count as the caller's.
// Returns whether something else may still reach a sheet of `owed` (also
// when that could not be told, or when there is no writer: a workbook left
// to the collector), whose holes must then be made. Runs no
// Python code; never raises (a pending error is kept).
bool release_written_workbook(Ref writer, const OwedCells::Grids& owed) noexcept;

}  // namespace xt
