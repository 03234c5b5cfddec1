// Reading the command and package records that a yulos executable carries.
#pragma once

#include "result.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace yulos {

// The two records as `meta` prints them, one line each, in this order:
//   .yulos.cmdmeta: magic YCMD version 1
//   text: <first text>
//   text: <second text>
//   .yulos.pkgmeta: magic YPKG version 1
//   text: <first text>
//   text: <second text>
// Bytes outside printable ASCII, and the backslash, are written as \xNN and \\ so that every
// text stays on its line. An error names the file, the section and what is wrong with it.
Result<std::string> describe_metadata(std::span<const uint8_t> file, std::string_view name);

// Prints both records of the executable at `path` (a host path) to standard output; 0, or 1
// with a message on standard error and nothing on standard output.
int print_metadata(const std::string& path);

} // namespace yulos
