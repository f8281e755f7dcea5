/* Every dictionary message from a peer is answered by one reply carrying the
   handler's text under "json"; other events are ignored. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <xpc/xpc.h>

#include "vindle_xpc.h"

/* Written once before the listener exists, only read afterwards. */
static vindle_xpc_handler g_handler = NULL;

static const char kFallbackReply[] =
    "{\"evt\":\"result\",\"ok\":false,\"error\":\"protocol\",\"message\":\"empty helper reply\"}";

void vindle_xpc_set_handler(vindle_xpc_handler handler) { g_handler = handler; }

static char* fallback_reply(void) {
  char* copy = malloc(sizeof kFallbackReply);
  if (copy != NULL) memcpy(copy, kFallbackReply, sizeof kFallbackReply);
  return copy;
}

static void handle_message(xpc_connection_t peer, xpc_object_t message) {
  if (xpc_get_type(message) != XPC_TYPE_DICTIONARY) return; /* errors (peer gone) and the like */
  const char* request = xpc_dictionary_get_string(message, "json");
  if (request == NULL) request = "";
  /* The peer as the system vouches for it, and the image it may have opened
     itself and sent along. */
  const int image_fd = xpc_dictionary_dup_fd(message, "image_fd");
  char* reply_text = g_handler != NULL ? g_handler(request, (unsigned int)xpc_connection_get_euid(peer),
                                                   (unsigned int)xpc_connection_get_egid(peer), image_fd)
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
}

static void handle_peer(xpc_connection_t peer) {
  xpc_connection_set_event_handler(peer, ^(xpc_object_t message) {
    handle_message(peer, message);
  });
  xpc_connection_resume(peer);
}

int vindle_xpc_listen_mach(const char* label, const char* peer_requirement) {
  if (label == NULL || label[0] == '\0') return 1;
  xpc_connection_t listener =
      xpc_connection_create_mach_service(label, dispatch_get_main_queue(), XPC_CONNECTION_MACH_SERVICE_LISTENER);
  if (listener == NULL) return 2;
  /* Set before the listener is resumed, so that no peer is ever served
     without it. */
  if (peer_requirement != NULL && xpc_connection_set_peer_code_signing_requirement(listener, peer_requirement) != 0) {
    return 3;
  }
  xpc_connection_set_event_handler(listener, ^(xpc_object_t event) {
    if (xpc_get_type(event) == XPC_TYPE_CONNECTION) handle_peer((xpc_connection_t)event);
  });
  xpc_connection_resume(listener);
  dispatch_main();
}
