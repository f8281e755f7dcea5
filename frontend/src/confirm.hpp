// Asking the user to confirm by typing what is about to be erased.
#pragma once

#include <string_view>

namespace kelmar_vindle::frontend {

// Prints `question` on standard error and reads one line from standard
// input. True only when the line, trimmed of white space, is exactly
// `expected`; the end of the input counts as a no.
bool confirmed_by_typing(std::string_view question, std::string_view expected);

}  // namespace kelmar_vindle::frontend
