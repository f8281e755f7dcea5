// Elsewhere no spawn option closes the rest: the helper's own descriptors
// are all close-on-exec, and that is what keeps them from the child.
#include "child_process.hpp"

namespace kelmar_vindle::helper {

void close_inherited_descriptors(posix_spawn_file_actions_t& /*actions*/, short& /*flags*/) {}

}  // namespace kelmar_vindle::helper
