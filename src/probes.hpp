// The module's three functions: is_available, get_version_info and setup.
#pragma once

#include "function.hpp"

namespace setup_module {

// In the order initialisation makes and binds them.
extern const FunctionDef kProbes[3];

}  // namespace setup_module
