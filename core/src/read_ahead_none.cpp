#include "kelmar_vindle/read_ahead.hpp"

namespace kelmar_vindle {

void advise_sequential(int /*fd*/) {}

}  // namespace kelmar_vindle
