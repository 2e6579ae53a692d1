// The text of a shared string (`si`) or inline string (`is`) element as the
// library reads it: the plain text followed by the text of every run,
// phonetic runs and properties left out.
#pragma once

#include <string>
#include <vector>

#include "xml_scanner.hpp"

namespace xt::xml {

enum class TextResult { ok, unusual };

// Reads the content of the element the scanner has just started (an `si` or
// `is`), up to and including its end, appending the text to `out`. `unusual`
// for anything the library could refuse or read differently (attributes it
// would reject, unknown children). Run properties (`rPr`) do not change the
// text, but the library checks them: with `run_properties`, each one is
// appended there as written (for the caller to have it checked), without,
// they are unusual.
TextResult read_text_element(Scanner& scanner, std::string& out,
                             std::vector<std::string>* run_properties = nullptr);

}  // namespace xt::xml
