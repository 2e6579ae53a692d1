// The body of merge_exact_match.
#pragma once

#include "../core/call_frame.hpp"

namespace xt {

Ref merge_exact_match_body(CallFrame& frame, const BoundArgs& args);

}  // namespace xt
