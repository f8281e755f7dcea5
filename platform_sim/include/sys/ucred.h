/* The peer credentials a Unix-domain socket gives (LOCAL_PEERCRED, see
   sys/un.h), with the platform's layout: the effective user, then at most
   NGROUPS groups, the effective group first. A peer in more groups is cut
   short to NGROUPS of them. The simulated socket options
   (platform_sim/peer_credentials.h) answer it. */
#ifndef PLATFORM_SIM_SYS_UCRED_H
#define PLATFORM_SIM_SYS_UCRED_H

#include <sys/param.h>
#include <sys/types.h>

#define XUCRED_VERSION 0

struct xucred {
  u_int cr_version;
  uid_t cr_uid;
  short cr_ngroups;
  gid_t cr_groups[NGROUPS];
};

#endif
