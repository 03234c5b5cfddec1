// Reading the command and package records that a yulos executable carries.
#pragma once

#include <string>

namespace yulos {

// Prints both records of the executable at `path` (a host path); 0, or 1 with a message.
int print_metadata(const std::string& path);

} // namespace yulos
