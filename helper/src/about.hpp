// --version and --help: the two arguments that answer on their own, before
// start-up reads anything else.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelmar_vindle::helper {

// The text to print on standard output, exiting 0 without reading a request,
// when `args` (argv[0] first) asks for the version ("kelmar_vindle_helper
// 0.1.0") or the help (a summary of the command line); the first of the two
// wins. An argument that is the value of a value option (`--expect-serial
// --help`) asks for nothing. None for every other command line: unknown
// arguments stay ignored.
std::optional<std::string> about_text(const std::vector<std::string>& args);

}  // namespace kelmar_vindle::helper
