// macOS: with POSIX_SPAWN_CLOEXEC_DEFAULT the child keeps only the
// descriptors that the file actions give it.
#include "kelmar_vindle/spawn.hpp"

namespace kelmar_vindle::spawn {

void close_inherited_descriptors(posix_spawn_file_actions_t& /*actions*/, short& flags) {
  flags = static_cast<short>(flags | POSIX_SPAWN_CLOEXEC_DEFAULT);
}

}  // namespace kelmar_vindle::spawn
