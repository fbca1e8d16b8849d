#pragma once

#include "module/function.h"

#include <span>

namespace tw::module {

// The module functions in the order they are bound.
std::span<const FunctionSpec> function_table();

}  // namespace tw::module
