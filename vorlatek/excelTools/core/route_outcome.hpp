// What a native route answers the function that offered it the work.
#pragma once

#include <optional>

#include "ref.hpp"

namespace xt {

// A route either did the whole job or declined, having done nothing; on
// `declined` the caller makes the plain library calls. A failure is never an
// outcome: it travels as an exception, as everywhere inside the module.
enum class [[nodiscard]] RouteOutcome { declined, taken };

// A route whose job has a result: the result, or nothing when it declined.
using RoutedResult = std::optional<Ref>;

}  // namespace xt
