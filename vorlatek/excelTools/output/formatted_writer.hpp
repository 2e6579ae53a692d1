// The body of write_formatted_excel.
#pragma once

#include "../core/call_frame.hpp"

namespace xt {

Ref write_formatted_excel_body(CallFrame& frame, const BoundArgs& args);

}  // namespace xt
