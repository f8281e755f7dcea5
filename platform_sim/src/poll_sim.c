/* The simulated poll: the program's poll answers as XNU's does, which turns
   each entry into kernel events for the directions it asks for. An entry
   asking for no event registers none and is never reported, not even when
   the other end has gone; one asking for POLLIN is reported POLLHUP as well
   once the other end has shut its sending side (the read filter's end of
   file), even though that end may still read. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <poll.h>
#include <stdlib.h>

typedef int (*poll_fn)(struct pollfd*, nfds_t, int);

enum { kMaxEntries = 64 };

int poll(struct pollfd* fds, nfds_t count, int timeout) {
  static poll_fn system_poll = NULL;
  if (system_poll == NULL) system_poll = (poll_fn)dlsym(RTLD_NEXT, "poll");
  if (system_poll == NULL) abort();
  if (count > kMaxEntries) return system_poll(fds, count, timeout);
  int asked[kMaxEntries];
  for (nfds_t i = 0; i < count; ++i) {
    asked[i] = fds[i].fd;
    if (fds[i].events == 0) fds[i].fd = -1; /* nothing registered: poll skips it */
    if (fds[i].events & POLLIN) fds[i].events |= POLLRDHUP;
  }
  const int ready = system_poll(fds, count, timeout);
  int reported = 0;
  for (nfds_t i = 0; i < count; ++i) {
    fds[i].fd = asked[i];
    if (fds[i].events & POLLIN) {
      if (fds[i].revents & POLLRDHUP) fds[i].revents |= POLLHUP;
      fds[i].revents &= ~POLLRDHUP;
      fds[i].events &= ~POLLRDHUP;
    }
    if (fds[i].revents != 0) ++reported;
  }
  return ready < 0 ? ready : reported;
}
