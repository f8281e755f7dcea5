/* The test side of the simulated peer credentials. getsockopt with
   SOL_LOCAL and LOCAL_PEERCRED on a connected Unix-domain socket answers as
   the platform does: the peer's effective user and group (the host's record
   of them, or those set here), then the peer's supplementary groups as set
   here, cut short to NGROUPS entries in all; a buffer shorter than struct
   xucred is EINVAL. getpeereid gives the same user and group. Every other
   socket option goes to the system unchanged. Plain C, callable from C++
   tests. */
#ifndef PLATFORM_SIM_PEER_CREDENTIALS_H
#define PLATFORM_SIM_PEER_CREDENTIALS_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every peer from now on: that effective user and group, in those
   supplementary groups (at most 64). */
void peer_credentials_sim_set(uid_t euid, gid_t egid, const gid_t* groups, int count);
/* Back to the host's record of each peer, in no supplementary group. */
void peer_credentials_sim_reset(void);

#ifdef __cplusplus
}
#endif

#endif
