/* What the host's unistd.h holds, and the platform's getpeereid: the
   effective user and group of a Unix-domain socket's peer as the kernel
   recorded them when it connected (platform_sim/peer_credentials.h). */
#ifndef PLATFORM_SIM_UNISTD_H
#define PLATFORM_SIM_UNISTD_H

/* Stands in for the host header, which it then includes itself. */
#pragma GCC system_header
#include_next <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif

int getpeereid(int socket, uid_t* euid, gid_t* egid);

#ifdef __cplusplus
}
#endif

#endif
