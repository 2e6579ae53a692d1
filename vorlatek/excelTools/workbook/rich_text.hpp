// The text of a shared string (`si`) or inline string (`is`) element as the
// library reads it: the plain text followed by the text of every run,
// phonetic runs and properties left out.
#pragma once

#include <string>

#include "xml_scanner.hpp"

namespace xt::xml {

enum class TextResult { ok, unusual };

// Reads the content of the element the scanner has just started (an `si` or
// `is`), up to and including its end, appending the text to `out`. `unusual`
// for anything the library could refuse or read differently (attributes it
// would reject, run properties, unknown children).
TextResult read_text_element(Scanner& scanner, std::string& out);

}  // namespace xt::xml
