/* The XPC shim: the part of the XPC transport that must speak blocks, kept
   small and in C. The service layer registers plain functions as hooks. */
#ifndef VINDLE_XPC_H
#define VINDLE_XPC_H

#ifdef __cplusplus
extern "C" {
#endif

/* Takes a zero-terminated request text, the requesting peer's effective
   user and group, the descriptor sent under "image_fd" (-1 when none; the
   shim closes it afterwards) and the peer itself (an opaque handle, valid
   until the handler returns), and returns a zero-terminated reply text
   allocated with malloc (the shim frees it after sending), or null.
   Requests are handled one at a time, in order, on a queue of their own, so
   that a peer's other events (its going away) still arrive meanwhile (see
   vindle_xpc_peer_went_away). */
typedef char* (*vindle_xpc_handler)(const char* request, unsigned int peer_uid, unsigned int peer_gid, int image_fd,
                                    void* peer);

/* Asked after each reply has been sent: nonzero ends the service once the
   reply has left, and no further request is handled. */
typedef int (*vindle_xpc_should_end)(void);

/* Records the hooks; call them before listening. `should_end` may be null. */
void vindle_xpc_set_handler(vindle_xpc_handler handler);
void vindle_xpc_set_should_end(vindle_xpc_should_end should_end);

/* Nonzero once `peer` (a handler's, during its call) has gone away: its
   connection became invalid. Callable from any thread. A request of a peer
   that went away while the request waited in the queue is dropped without
   reaching the handler and without a reply. */
int vindle_xpc_peer_went_away(void* peer);

/* Sends `json` to `peer` (a handler's, during its call) as a dictionary
   message of its own under "json", ahead of the reply. */
void vindle_xpc_send_event(void* peer, const char* json);

/* The listener reported an error (launchd offers no such service, as for a
   helper started outside launchd or without a MachServices entry for it). */
#define VINDLE_XPC_LISTENER_FAILED 4

/* Listens as the Mach service `label` on a queue of its own and parks the
   calling thread until the listener fails. With a `peer_requirement` (null
   for none), the platform drops every message from a peer that does not
   meet that code-signing requirement before the handler sees it. Returns
   only on failure: 1 for a null or empty label, 2 when the listener cannot
   be created, 3 when the platform refuses the requirement,
   VINDLE_XPC_LISTENER_FAILED when the listener reports an error. */
int vindle_xpc_listen_mach(const char* label, const char* peer_requirement);

#ifdef __cplusplus
}
#endif

#endif
