// The function bodies, one per public function, each declared by its
// subsystem.
#pragma once

#include "../addressing/cell_address.hpp"
#include "../format_route/format_sheet.hpp"
#include "../merge/exact_match.hpp"
#include "../output/formatted_writer.hpp"
#include "../readers/read_bodies.hpp"
