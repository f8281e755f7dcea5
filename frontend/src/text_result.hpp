// The front end's failure convention: a plain text for the user, which only
// the entry prints, as "kelmar-vindle: {}".
#pragma once

#include <expected>
#include <string>

namespace kelmar_vindle::frontend {

template <class T = void>
using TextResult = std::expected<T, std::string>;

}  // namespace kelmar_vindle::frontend
