// The bodies of the two readers: read_excel_by_cells and read_csv_by_cells.
#pragma once

#include "../core/call_frame.hpp"

namespace xt {

Ref read_excel_by_cells_body(CallFrame& frame, const BoundArgs& args);
Ref read_csv_by_cells_body(CallFrame& frame, const BoundArgs& args);

}  // namespace xt
