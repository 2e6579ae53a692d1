// The function bodies, one per public function, each in its subsystem's file.
#pragma once

#include "function_table.hpp"

namespace xt {

Ref parse_cell_body(CallFrame& frame, const BoundArgs& args);
Ref col_str_to_index_body(CallFrame& frame, const BoundArgs& args);
Ref read_excel_by_cells_body(CallFrame& frame, const BoundArgs& args);
Ref read_csv_by_cells_body(CallFrame& frame, const BoundArgs& args);
Ref merge_exact_match_body(CallFrame& frame, const BoundArgs& args);
Ref format_excel_sheet_body(CallFrame& frame, const BoundArgs& args);
Ref write_formatted_excel_body(CallFrame& frame, const BoundArgs& args);

}  // namespace xt
