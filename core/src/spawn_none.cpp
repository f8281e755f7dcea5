// Elsewhere no spawn option closes the rest: the caller's own descriptors
// are all close-on-exec, and that is what keeps them from the child.
#include "kelmar_vindle/spawn.hpp"

namespace kelmar_vindle::spawn {

void close_inherited_descriptors(posix_spawn_file_actions_t& /*actions*/, short& /*flags*/) {}

}  // namespace kelmar_vindle::spawn
