/* The slice of libxpc that the helper's XPC shim calls, with the platform's
   names and signatures. Handlers are blocks, so users compile with blocks
   (clang -fblocks). */
#ifndef PLATFORM_SIM_XPC_H
#define PLATFORM_SIM_XPC_H

#include <dispatch/dispatch.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* xpc_object_t;
typedef xpc_object_t xpc_connection_t;
typedef const struct _xpc_type_s* xpc_type_t;
#ifdef __BLOCKS__
typedef void (^xpc_handler_t)(xpc_object_t object);
#endif

extern const struct _xpc_type_s _xpc_type_connection;
extern const struct _xpc_type_s _xpc_type_dictionary;
extern const struct _xpc_type_s _xpc_type_error;
extern const struct _xpc_type_s _xpc_type_string;
#define XPC_TYPE_CONNECTION (&_xpc_type_connection)
#define XPC_TYPE_DICTIONARY (&_xpc_type_dictionary)
#define XPC_TYPE_ERROR (&_xpc_type_error)
#define XPC_TYPE_STRING (&_xpc_type_string)

/* The one error object a peer's handler gets when the peer goes away. */
struct _xpc_error_s;
extern struct _xpc_error_s _xpc_error_connection_invalid;
#define XPC_ERROR_CONNECTION_INVALID ((xpc_object_t)&_xpc_error_connection_invalid)

#define XPC_CONNECTION_MACH_SERVICE_LISTENER (1 << 0)

typedef void (*xpc_finalizer_t)(void* value);

/* As on the platform, never null: a listener for a service launchd does not
   offer (see xpc_sim_next_service_unregistered) gets
   XPC_ERROR_CONNECTION_INVALID once resumed, and no peer reaches it. */
xpc_connection_t xpc_connection_create_mach_service(const char* name, dispatch_queue_t targetq, uint64_t flags);
#ifdef __BLOCKS__
void xpc_connection_set_event_handler(xpc_connection_t connection, xpc_handler_t handler);
#endif
void xpc_connection_resume(xpc_connection_t connection);
/* A reply answers its message; any other dictionary is recorded as received
   by the peer (see xpc_sim_received). Messages on one connection stay in the
   order sent; a reply is not ordered against them (see
   xpc_sim_replies_first). */
void xpc_connection_send_message(xpc_connection_t connection, xpc_object_t message);
#ifdef __BLOCKS__
/* Everything is sent at once here, so the barrier runs at once, after the
   simulation has written to stderr everything the peer received so far
   ("xpc_sim barrier: the peer received:" and then one "json" text per line,
   as xpc_sim_received gives them): a test whose process the barrier ends
   (a death test) sees the peer's messages there. */
void xpc_connection_send_barrier(xpc_connection_t connection, dispatch_block_t barrier);
#endif
uid_t xpc_connection_get_euid(xpc_connection_t connection);
/* A connection's context, and what disposes of it when the connection is
   torn down. Connections live as long as the simulation here, so the
   finalizer is recorded but never runs: code must not read a context after
   its connection's last release, as on the platform. */
void xpc_connection_set_context(xpc_connection_t connection, void* context);
void* xpc_connection_get_context(xpc_connection_t connection);
void xpc_connection_set_finalizer_f(xpc_connection_t connection, xpc_finalizer_t finalizer);
/* The simulation takes a requirement as met by a peer whose signature (see
   xpc_sim_connect_signed) is the same text; an empty one is refused. */
int xpc_connection_set_peer_code_signing_requirement(xpc_connection_t connection, const char* requirement);
gid_t xpc_connection_get_egid(xpc_connection_t connection);

xpc_type_t xpc_get_type(xpc_object_t object);
xpc_object_t xpc_retain(xpc_object_t object);
void xpc_release(xpc_object_t object);

xpc_object_t xpc_dictionary_create(const char* const* keys, const xpc_object_t* values, size_t count);

const char* xpc_dictionary_get_string(xpc_object_t xdict, const char* key);
xpc_object_t xpc_dictionary_create_reply(xpc_object_t original);
void xpc_dictionary_set_string(xpc_object_t xdict, const char* key, const char* string);
/* A new descriptor for the file-descriptor object under `key`, or -1. */
int xpc_dictionary_dup_fd(xpc_object_t xdict, const char* key);

#ifdef __cplusplus
}
#endif

#endif
