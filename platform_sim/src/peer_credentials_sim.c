/* The simulated peer credentials of Unix-domain sockets: LOCAL_PEERCRED and
   getpeereid over the host's record of the peer (SO_PEERCRED), with the
   platform's limit of NGROUPS groups (see platform_sim/peer_credentials.h). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/param.h>
#include <sys/socket.h>
#include <sys/ucred.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform_sim/peer_credentials.h"

enum { kMaxGroups = 64 };

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int peer_set; /* whether the ids below stand in for the host's record */
static uid_t peer_uid;
static gid_t peer_gid;
static gid_t supplementary[kMaxGroups];
static int supplementary_count;

typedef int (*getsockopt_fn)(int, int, int, void*, socklen_t*);

static getsockopt_fn system_getsockopt(void) {
  static getsockopt_fn found = NULL;
  if (found == NULL) found = (getsockopt_fn)dlsym(RTLD_NEXT, "getsockopt");
  if (found == NULL) abort();
  return found;
}

void peer_credentials_sim_set(uid_t euid, gid_t egid, const gid_t* groups, int count) {
  if (count < 0 || count > kMaxGroups) abort();
  pthread_mutex_lock(&lock);
  peer_set = 1;
  peer_uid = euid;
  peer_gid = egid;
  if (count > 0) memcpy(supplementary, groups, sizeof(gid_t) * (size_t)count);
  supplementary_count = count;
  pthread_mutex_unlock(&lock);
}

void peer_credentials_sim_reset(void) {
  pthread_mutex_lock(&lock);
  peer_set = 0;
  supplementary_count = 0;
  pthread_mutex_unlock(&lock);
}

/* The record of the peer of the Unix-domain socket `fd`; 0, or -1 with
   errno set. */
static int peer_of(int fd, struct ucred* peer) {
  int domain = 0;
  socklen_t length = sizeof domain;
  if (system_getsockopt()(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) return -1;
  if (domain != AF_UNIX) {
    errno = EOPNOTSUPP;
    return -1;
  }
  length = sizeof *peer;
  if (system_getsockopt()(fd, SOL_SOCKET, SO_PEERCRED, peer, &length) != 0) return -1;
  pthread_mutex_lock(&lock);
  if (peer_set) {
    peer->uid = peer_uid;
    peer->gid = peer_gid;
  }
  pthread_mutex_unlock(&lock);
  return 0;
}

int getsockopt(int fd, int level, int name, void* value, socklen_t* length) {
  int domain = 0;
  socklen_t domain_length = sizeof domain;
  if (level != SOL_LOCAL || name != LOCAL_PEERCRED ||
      system_getsockopt()(fd, SOL_SOCKET, SO_DOMAIN, &domain, &domain_length) != 0 || domain != AF_UNIX) {
    return system_getsockopt()(fd, level, name, value, length);
  }
  if (value == NULL || length == NULL || *length < sizeof(struct xucred)) {
    errno = EINVAL;
    return -1;
  }
  struct ucred peer;
  if (peer_of(fd, &peer) != 0) return -1;
  struct xucred credentials;
  memset(&credentials, 0, sizeof credentials);
  credentials.cr_version = XUCRED_VERSION;
  credentials.cr_uid = peer.uid;
  credentials.cr_groups[0] = peer.gid;
  int count = 1;
  pthread_mutex_lock(&lock);
  for (int i = 0; i < supplementary_count && count < NGROUPS; ++i) credentials.cr_groups[count++] = supplementary[i];
  pthread_mutex_unlock(&lock);
  credentials.cr_ngroups = (short)count;
  memcpy(value, &credentials, sizeof credentials);
  *length = sizeof credentials;
  return 0;
}

int getpeereid(int fd, uid_t* euid, gid_t* egid) {
  struct ucred peer;
  if (peer_of(fd, &peer) != 0) return -1;
  *euid = peer.uid;
  *egid = peer.gid;
  return 0;
}
