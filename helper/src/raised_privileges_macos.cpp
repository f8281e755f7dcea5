// macOS: issetugid, which stays true for a process whose executable was
// set-user-ID or set-group-ID, even after it changed its ids back.
#include <unistd.h>

#include "raised_privileges.hpp"

namespace kelmar_vindle::helper {

bool started_with_raised_privileges() { return ::issetugid() != 0; }

}  // namespace kelmar_vindle::helper
