// Elsewhere: the POSIX ids alone. Real and effective ids that differ mean a
// set-user-ID or set-group-ID start; nothing portable tells of more.
#include <unistd.h>

#include "raised_privileges.hpp"

namespace kelmar_vindle::helper {

bool started_with_raised_privileges() { return ::getuid() != ::geteuid() || ::getgid() != ::getegid(); }

}  // namespace kelmar_vindle::helper
