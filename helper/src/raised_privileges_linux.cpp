// Linux: the kernel's secure-execution flag, set for set-user-ID and
// set-group-ID executables, gained file capabilities and LSM transitions.
#include <sys/auxv.h>

#include "raised_privileges.hpp"

namespace kelmar_vindle::helper {

bool started_with_raised_privileges() { return ::getauxval(AT_SECURE) != 0; }

}  // namespace kelmar_vindle::helper
