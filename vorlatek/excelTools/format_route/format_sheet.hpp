// The body of format_excel_sheet.
#pragma once

#include "../core/call_frame.hpp"

namespace xt {

Ref format_excel_sheet_body(CallFrame& frame, const BoundArgs& args);

}  // namespace xt
