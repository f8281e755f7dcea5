// Whether the kernel started this process with privileges its starter did
// not have. One file per platform (raised_privileges_linux.cpp,
// raised_privileges_macos.cpp, raised_privileges_none.cpp).
#pragma once

namespace kelmar_vindle::helper {

// True for a process started through a set-user-ID or set-group-ID
// executable or one with file capabilities: its environment, standard
// streams and arguments then come from someone who is not root, and nothing
// the helper trusts them for would hold.
[[nodiscard]] bool started_with_raised_privileges();

}  // namespace kelmar_vindle::helper
