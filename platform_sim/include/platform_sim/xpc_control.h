/* The test side of the simulated XPC: connect peers to a service label, send
   messages and collect replies, stop the parked main thread. Plain C, so
   that C++ tests call it without blocks. */
#ifndef PLATFORM_SIM_XPC_CONTROL_H
#define PLATFORM_SIM_XPC_CONTROL_H

#ifdef __cplusplus
extern "C" {
#endif

/* The service of the next xpc_connection_create_mach_service is one launchd
   does not offer (a helper started outside launchd, or without a
   MachServices entry for its label). */
void xpc_sim_next_service_unregistered(void);

/* While on (nonzero), the messages sent to a peer while one of its messages
   waits for its reply reach the peer only after that reply, as libxpc may
   deliver them. */
void xpc_sim_replies_first(int on);

/* Waits until a listener for `label` is resumed; 0 when none came in time. */
int xpc_sim_wait_for_listener(const char* label);

/* A new peer connected to the listener of `label` (its listener handler has
   run when this returns); 0 when there is no such listener. */
int xpc_sim_connect(const char* label);
/* The same for a peer whose process runs as user `uid` and group `gid`
   (xpc_sim_connect gives root's). */
int xpc_sim_connect_as(const char* label, unsigned int uid, unsigned int gid);
/* A root peer whose code signature is `signature` (null: unsigned). Its
   messages are dropped before the handler when the listener has a
   requirement the signature does not meet. */
int xpc_sim_connect_signed(const char* label, const char* signature);

/* Messages dropped for a peer that does not meet the requirement. */
long xpc_sim_messages_dropped(void);

enum xpc_sim_message {
  XPC_SIM_JSON_STRING = 0, /* a dictionary with "json" = text */
  XPC_SIM_JSON_NUMBER = 1, /* a dictionary with "json" = a number */
  XPC_SIM_NO_JSON = 2,     /* a dictionary without "json" */
  XPC_SIM_NOT_DICTIONARY = 3,
  XPC_SIM_ERROR = 4 /* XPC_ERROR_CONNECTION_INVALID, as when the peer goes away: its last
                       event; later messages never reach its handler */
};

/* Delivers one message to the peer's handler on a thread of its own and
   waits until the helper's code has let go of it (its handler returned and
   every retain was released). Returns the "json" text of the reply the
   helper sent (release it with free), or null when nothing was sent. */
char* xpc_sim_send(int peer, enum xpc_sim_message kind, const char* text, int expects_reply);
/* The same for a "json" dictionary expecting a reply that also carries the
   descriptor `fd` under "image_fd" (the caller keeps `fd`). */
char* xpc_sim_send_with_fd(int peer, const char* text, int fd);

/* Waits until the peer's handler has returned for `count` of the messages
   sent to it so far (a request the shim queued has then been queued); 0 when
   that did not happen in time. */
int xpc_sim_wait_for_handled(int peer, long count);

/* Every "json" text the helper sent to the peer so far, events and replies
   in the order sent, one per line (release it with free). */
char* xpc_sim_received(int peer);

/* Only the messages of their own (no replies) the helper sent to the peer
   so far, in the order sent, one per line (release it with free). */
char* xpc_sim_received_messages(int peer);

/* Descriptors handed out by xpc_dictionary_dup_fd. */
long xpc_sim_fds_handed_out(void);

/* XPC objects the helper's code created (replies, events) and has not yet
   released. */
long xpc_sim_live_objects(void);

/* Ends the thread parked in dispatch_main. */
void xpc_sim_stop_main(void);

#ifdef __cplusplus
}
#endif

#endif
