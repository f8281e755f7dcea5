// The one failure convention of the process level (start-up and the
// transports): a plain text that only the entry prints, as
// "helper error: {}".
#pragma once

#include <expected>
#include <string>

namespace kelmar_vindle::helper {

template <class T = void>
using TextResult = std::expected<T, std::string>;

}  // namespace kelmar_vindle::helper
