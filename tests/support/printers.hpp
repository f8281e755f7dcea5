// Readable test failure output for the helper's value types.
#pragma once

#include <ostream>

#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle {

inline void PrintTo(const Error& error, std::ostream* out) { *out << error.text(); }

}  // namespace kelmar_vindle
