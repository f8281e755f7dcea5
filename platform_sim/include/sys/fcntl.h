/* What the host's sys/fcntl.h holds, and the open flags the platform adds to it: an
   open with O_EXLOCK (O_SHLOCK) takes an exclusive (shared) flock-style lock
   on the file as it opens it, waiting for it unless O_NONBLOCK is given, in
   which case a lock held elsewhere fails the open with EAGAIN. The lock goes
   with the last descriptor of that open. The simulated raw disk nodes
   (platform_sim/raw_node.h) honour them. */
#ifndef PLATFORM_SIM_SYS_FCNTL_H
#define PLATFORM_SIM_SYS_FCNTL_H

#include <fcntl.h> /* all the host's sys/fcntl.h holds */

#define O_SHLOCK 0x00000010
#define O_EXLOCK 0x00000020

#endif
