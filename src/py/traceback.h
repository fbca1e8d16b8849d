// Traceback entries for exceptions leaving the module's functions.
#pragma once

#include "py/ref.h"

namespace tw::py {

// Adds an entry "termweave_mira7.<name>" at `line` to the pending exception.
void add_traceback_entry(const char* name, int line);

}  // namespace tw::py
