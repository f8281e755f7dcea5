/* The XPC shim: the part of the XPC transport that must speak blocks, kept
   small and in C. The service layer registers a plain function as handler. */
#ifndef VINDLE_XPC_H
#define VINDLE_XPC_H

#ifdef __cplusplus
extern "C" {
#endif

/* Takes a zero-terminated request text, the requesting peer's effective
   user and group, and the descriptor sent under "image_fd" (-1 when none;
   the shim closes it afterwards), and returns a zero-terminated reply text
   allocated with malloc (the shim frees it after sending), or null. */
typedef char* (*vindle_xpc_handler)(const char* request, unsigned int peer_uid, unsigned int peer_gid, int image_fd);

/* Records the handler; call it before listening. */
void vindle_xpc_set_handler(vindle_xpc_handler handler);

/* Listens as the Mach service `label` and parks the main thread serving it.
   With a `peer_requirement` (null for none), the platform drops every
   message from a peer that does not meet that code-signing requirement
   before the handler sees it. Returns only on failure: 1 for a null or empty
   label, 2 when the listener cannot be created, 3 when the platform refuses
   the requirement. */
int vindle_xpc_listen_mach(const char* label, const char* peer_requirement);

#ifdef __cplusplus
}
#endif

#endif
