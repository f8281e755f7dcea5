/* Every dictionary message from a peer is answered by one reply carrying the
   handler's text under "json", after any events the handler sent, unless
   the peer went away first; a peer's invalidation is remembered on its
   connection; other events of a peer are ignored. An error of the listener
   ends the service. */
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <xpc/xpc.h>

#include "vindle_xpc.h"

/* Written once before the listener exists, only read afterwards. */
static vindle_xpc_handler g_handler = NULL;
static vindle_xpc_should_end g_should_end = NULL;
/* Requests, one at a time and in order, off the peers' own queues. */
static dispatch_queue_t g_requests = NULL;
/* The listener's own queue, so that the listening thread is free to wait
   for the listener to fail, and what tells it so. Made once, like
   `g_requests`, and kept for the life of the process. */
static dispatch_queue_t g_listening = NULL;
static dispatch_semaphore_t g_listener_failed = NULL;
/* Set on `g_requests` once the service is ending; read only there. */
static int g_ending = 0;

static const char kFallbackReply[] =
    "{\"evt\":\"result\",\"ok\":false,\"error\":\"protocol\",\"message\":\"empty helper reply\"}";

void vindle_xpc_set_handler(vindle_xpc_handler handler) { g_handler = handler; }

void vindle_xpc_set_should_end(vindle_xpc_should_end should_end) { g_should_end = should_end; }

/* What the shim keeps of a peer, as its connection's context: set on the
   peer's own queue when it goes away, read on the request queue and the
   job's thread. It lives as long as the connection, which each of the
   peer's queued requests retains, so a peer that went away stays known as
   such until the last of them has been dropped. */
struct peer_state {
  atomic_int gone;
};

int vindle_xpc_peer_went_away(void* peer) {
  struct peer_state* state = xpc_connection_get_context((xpc_connection_t)peer);
  return state != NULL && atomic_load(&state->gone) != 0;
}

void vindle_xpc_send_event(void* peer, const char* json) {
  xpc_object_t event = xpc_dictionary_create(NULL, NULL, 0);
  if (event == NULL) return;
  xpc_dictionary_set_string(event, "json", json);
  xpc_connection_send_message((xpc_connection_t)peer, event);
  xpc_release(event);
}

static char* fallback_reply(void) {
  char* copy = malloc(sizeof kFallbackReply);
  if (copy != NULL) memcpy(copy, kFallbackReply, sizeof kFallbackReply);
  return copy;
}

static void answer(xpc_connection_t peer, xpc_object_t message) {
  if (g_ending) return; /* the process ends once the last reply has left */
  /* Nobody is left to take the reply: the job is not run for no one. */
  if (vindle_xpc_peer_went_away(peer)) return;
  const char* request = xpc_dictionary_get_string(message, "json");
  if (request == NULL) request = "";
  /* The peer as the system vouches for it, and the image it may have opened
     itself and sent along. */
  const int image_fd = xpc_dictionary_dup_fd(message, "image_fd");
  char* reply_text = g_handler != NULL ? g_handler(request, (unsigned int)xpc_connection_get_euid(peer),
                                                   (unsigned int)xpc_connection_get_egid(peer), image_fd, peer)
                                       : NULL;
  if (image_fd >= 0) close(image_fd);
  if (reply_text == NULL) reply_text = fallback_reply();

  xpc_object_t reply = xpc_dictionary_create_reply(message);
  if (reply != NULL) { /* null: the peer expects no reply */
    xpc_dictionary_set_string(reply, "json", reply_text != NULL ? reply_text : kFallbackReply);
    xpc_connection_send_message(peer, reply);
    xpc_release(reply);
  }
  free(reply_text);

  if (g_should_end != NULL && g_should_end()) {
    g_ending = 1;
    /* Runs once everything sent to the peer so far has left. */
    xpc_connection_send_barrier(peer, ^{
      _exit(0); /* no destructor may race the threads still running */
    });
  }
}

static void handle_message(xpc_connection_t peer, xpc_object_t message) {
  if (message == XPC_ERROR_CONNECTION_INVALID) {
    struct peer_state* state = xpc_connection_get_context(peer);
    if (state != NULL) atomic_store(&state->gone, 1);
    return;
  }
  if (xpc_get_type(message) != XPC_TYPE_DICTIONARY) return; /* other errors and the like */
  xpc_retain(peer);
  xpc_retain(message);
  dispatch_async(g_requests, ^{
    answer(peer, message);
    xpc_release(message);
    xpc_release(peer);
  });
}

static void handle_peer(xpc_connection_t peer) {
  /* Set before the peer is resumed; without memory for it the peer is still
     served, but its going away is not seen. */
  struct peer_state* state = calloc(1, sizeof *state);
  if (state != NULL) {
    atomic_init(&state->gone, 0);
    xpc_connection_set_context(peer, state);
    xpc_connection_set_finalizer_f(peer, free);
  }
  xpc_connection_set_event_handler(peer, ^(xpc_object_t message) {
    handle_message(peer, message);
  });
  xpc_connection_resume(peer);
}

int vindle_xpc_listen_mach(const char* label, const char* peer_requirement) {
  if (label == NULL || label[0] == '\0') return 1;
  if (g_requests == NULL)
    g_requests = dispatch_queue_create("com.kelmar-vindle.helper.requests", DISPATCH_QUEUE_SERIAL);
  if (g_listening == NULL)
    g_listening = dispatch_queue_create("com.kelmar-vindle.helper.listener", DISPATCH_QUEUE_SERIAL);
  if (g_listener_failed == NULL) g_listener_failed = dispatch_semaphore_create(0);
  if (g_requests == NULL || g_listening == NULL || g_listener_failed == NULL) return 2;
  dispatch_semaphore_t failed = g_listener_failed;
  /* Never null: a service launchd does not offer is reported to the
     listener's handler as an error once it is resumed. */
  xpc_connection_t listener =
      xpc_connection_create_mach_service(label, g_listening, XPC_CONNECTION_MACH_SERVICE_LISTENER);
  if (listener == NULL) return 2;
  /* Set before the listener is resumed, so that no peer is ever served
     without it. */
  if (peer_requirement != NULL && xpc_connection_set_peer_code_signing_requirement(listener, peer_requirement) != 0) {
    xpc_release(listener);
    return 3;
  }
  xpc_connection_set_event_handler(listener, ^(xpc_object_t event) {
    if (xpc_get_type(event) == XPC_TYPE_CONNECTION) {
      handle_peer((xpc_connection_t)event);
    } else if (xpc_get_type(event) == XPC_TYPE_ERROR) {
      dispatch_semaphore_signal(failed);
    }
  });
  xpc_connection_resume(listener);
  dispatch_semaphore_wait(failed, DISPATCH_TIME_FOREVER);
  xpc_release(listener);
  return VINDLE_XPC_LISTENER_FAILED;
}
