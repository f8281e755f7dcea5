// Linux (glibc 2.34 and later): a file action closes every descriptor from 3 up.
#include "kelmar_vindle/spawn.hpp"

namespace kelmar_vindle::spawn {

void close_inherited_descriptors(posix_spawn_file_actions_t& actions, short& /*flags*/) {
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

}  // namespace kelmar_vindle::spawn
