/* The simulated libxpc and libdispatch. Listeners are found by label, peers
   are connected by tests, and every message is delivered to its peer's
   handler on a thread of its own, as the platform may use several. Objects
   the helper's code creates (replies, events) are counted until released;
   what it sends to a peer is recorded in order. */
#include <Block.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <xpc/xpc.h>

#include "platform_sim/xpc_control.h"

struct _xpc_type_s {
  const char* name;
};
const struct _xpc_type_s _xpc_type_connection = {"connection"};
const struct _xpc_type_s _xpc_type_dictionary = {"dictionary"};
const struct _xpc_type_s _xpc_type_error = {"error"};
const struct _xpc_type_s _xpc_type_string = {"string"};

/* A serial queue: its blocks run one at a time, in the order submitted. */
struct dispatch_queue_s {
  pthread_mutex_t lock;
  pthread_cond_t turn;
  unsigned long submitted; /* blocks submitted so far, under `lock` */
  unsigned long finished;  /* blocks that ran to their end, under `lock` */
};
static struct dispatch_queue_s main_queue = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0};

typedef struct sim_object {
  xpc_type_t type;
  /* dictionaries */
  char* json;
  int json_is_number;
  int expects_reply;
  struct sim_object* original; /* the message a reply answers */
  char* reply_text;            /* what was sent in answer to this message */
  int replied;
  int image_fd; /* under "image_fd"; -1 when none */
  int created;  /* by the helper's code (a reply or an event): freed on release */
  int retains;  /* messages: retains the helper's code still holds */
  /* connections */
  uid_t euid;
  gid_t egid;
  char* signature;             /* peers */
  char* requirement;           /* listeners */
  struct sim_object* listener; /* the listener a peer came through */
  char* label;
  xpc_handler_t handler;
  int resumed;
  char* received;            /* peers: every "json" text sent to it, one per line */
  char* messages;            /* peers: the texts sent as messages of their own */
  char* held;                /* peers: messages held back until the pending reply */
  int awaiting_reply;        /* peers: a message expecting a reply is being handled */
  int unregistered;          /* listeners: launchd offers no such service */
  long handled;              /* peers: messages whose handler returned, under `lock` */
  int invalidated;           /* peers: told XPC_ERROR_CONNECTION_INVALID, its last event */
  void* context;             /* connections: xpc_connection_set_context's */
  xpc_finalizer_t finalizer; /* recorded; connections are never torn down here */
} sim_object;

struct _xpc_error_s {
  sim_object object;
};
struct _xpc_error_s _xpc_error_connection_invalid = {{.type = XPC_TYPE_ERROR, .image_fd = -1}};

enum { kMaxConnections = 256 };
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static sim_object* listeners[kMaxConnections];
static sim_object* peers[kMaxConnections];
static int listener_count;
static int peer_count;
static long live_replies;
static int next_service_unregistered;
static int replies_first;
static int stop_main;
static long fds_handed_out;
static long messages_dropped;

static sim_object* new_object(xpc_type_t type) {
  sim_object* object = calloc(1, sizeof *object);
  if (object == NULL) abort();
  object->type = type;
  object->image_fd = -1;
  return object;
}

static char* copy_text(const char* text) {
  char* copy = strdup(text);
  if (copy == NULL) abort();
  return copy;
}

static void free_object(sim_object* object) {
  free(object->json);
  free(object->reply_text);
  free(object->label);
  free(object->signature);
  free(object->requirement);
  free(object->received);
  free(object->messages);
  free(object->held);
  if (object->handler != NULL) Block_release(object->handler);
  free(object);
}

dispatch_queue_t dispatch_get_main_queue(void) { return &main_queue; }

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr) {
  (void)label;
  (void)attr;
  dispatch_queue_t queue = calloc(1, sizeof *queue);
  if (queue == NULL) abort();
  pthread_mutex_init(&queue->lock, NULL);
  pthread_cond_init(&queue->turn, NULL);
  return queue;
}

struct queued {
  dispatch_queue_t queue;
  dispatch_block_t block;
  unsigned long place; /* blocks submitted to the queue before this one */
};

static void* run_queued(void* argument) {
  struct queued* queued = argument;
  dispatch_queue_t queue = queued->queue;
  pthread_mutex_lock(&queue->lock);
  while (queue->finished != queued->place) pthread_cond_wait(&queue->turn, &queue->lock);
  pthread_mutex_unlock(&queue->lock);
  queued->block();
  Block_release(queued->block);
  free(queued);
  pthread_mutex_lock(&queue->lock);
  ++queue->finished;
  pthread_cond_broadcast(&queue->turn);
  pthread_mutex_unlock(&queue->lock);
  return NULL;
}

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block) {
  struct queued* queued = malloc(sizeof *queued);
  if (queued == NULL) abort();
  queued->queue = queue;
  queued->block = Block_copy(block);
  pthread_mutex_lock(&queue->lock);
  queued->place = queue->submitted++;
  pthread_mutex_unlock(&queue->lock);
  pthread_t thread;
  if (pthread_create(&thread, NULL, run_queued, queued) != 0) abort();
  pthread_detach(thread);
}

struct dispatch_semaphore_s {
  long value;
};

dispatch_semaphore_t dispatch_semaphore_create(long value) {
  dispatch_semaphore_t semaphore = calloc(1, sizeof *semaphore);
  if (semaphore == NULL) abort();
  semaphore->value = value;
  return semaphore;
}

long dispatch_semaphore_signal(dispatch_semaphore_t semaphore) {
  pthread_mutex_lock(&lock);
  ++semaphore->value;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
  return 0;
}

long dispatch_semaphore_wait(dispatch_semaphore_t semaphore, dispatch_time_t timeout) {
  (void)timeout;
  pthread_mutex_lock(&lock);
  while (semaphore->value == 0 && !stop_main) pthread_cond_wait(&changed, &lock);
  if (semaphore->value == 0) { /* parked for good, and told to stop */
    stop_main = 0;
    pthread_mutex_unlock(&lock);
    pthread_exit(NULL);
  }
  --semaphore->value;
  pthread_mutex_unlock(&lock);
  return 0;
}

void dispatch_main(void) {
  pthread_mutex_lock(&lock);
  while (!stop_main) pthread_cond_wait(&changed, &lock);
  stop_main = 0;
  pthread_mutex_unlock(&lock);
  pthread_exit(NULL);
}

xpc_connection_t xpc_connection_create_mach_service(const char* name, dispatch_queue_t targetq, uint64_t flags) {
  (void)targetq;
  pthread_mutex_lock(&lock);
  if (listener_count == kMaxConnections || !(flags & XPC_CONNECTION_MACH_SERVICE_LISTENER)) abort();
  sim_object* listener = new_object(XPC_TYPE_CONNECTION);
  listener->label = copy_text(name);
  listener->unregistered = next_service_unregistered;
  next_service_unregistered = 0;
  listeners[listener_count++] = listener;
  pthread_mutex_unlock(&lock);
  return listener;
}

void xpc_connection_set_event_handler(xpc_connection_t connection, xpc_handler_t handler) {
  sim_object* object = connection;
  pthread_mutex_lock(&lock);
  if (object->handler != NULL) Block_release(object->handler);
  object->handler = Block_copy(handler);
  pthread_mutex_unlock(&lock);
}

static void* report_unregistered(void* argument) {
  sim_object* listener = argument;
  pthread_mutex_lock(&lock);
  xpc_handler_t handler = listener->handler;
  pthread_mutex_unlock(&lock);
  if (handler != NULL) handler(XPC_ERROR_CONNECTION_INVALID);
  return NULL;
}

void xpc_connection_resume(xpc_connection_t connection) {
  sim_object* object = connection;
  pthread_mutex_lock(&lock);
  object->resumed = 1;
  pthread_cond_broadcast(&changed);
  const int unregistered = object->unregistered;
  pthread_mutex_unlock(&lock);
  if (unregistered) { /* delivered on the listener's queue, later */
    pthread_t thread;
    if (pthread_create(&thread, NULL, report_unregistered, object) != 0) abort();
    pthread_detach(thread);
  }
}

static void append_line(char** text, const char* line) {
  const size_t had = *text != NULL ? strlen(*text) : 0;
  char* grown = realloc(*text, had + strlen(line) + 2);
  if (grown == NULL) abort();
  strcpy(grown + had, line);
  strcat(grown + had, "\n");
  *text = grown;
}

static void record_received(sim_object* peer, const char* json) { append_line(&peer->received, json); }

/* The messages held back for a reply reach the peer now. */
static void release_held(sim_object* peer) {
  if (peer->held == NULL) return;
  const size_t had = peer->received != NULL ? strlen(peer->received) : 0;
  char* joined = realloc(peer->received, had + strlen(peer->held) + 1);
  if (joined == NULL) abort();
  strcpy(joined + had, peer->held);
  peer->received = joined;
  free(peer->held);
  peer->held = NULL;
}

void xpc_connection_send_message(xpc_connection_t connection, xpc_object_t message) {
  sim_object* peer = connection;
  sim_object* sent = message;
  const char* json = sent->json != NULL ? sent->json : "";
  pthread_mutex_lock(&lock);
  if (sent->original != NULL) {
    if (!sent->original->replied) {
      sent->original->reply_text = copy_text(json);
      sent->original->replied = 1;
      record_received(peer, json);
      release_held(peer);
    }
  } else {
    append_line(&peer->messages, json);
    if (replies_first && peer->awaiting_reply) {
      append_line(&peer->held, json);
    } else {
      record_received(peer, json);
    }
  }
  pthread_mutex_unlock(&lock);
}

void xpc_connection_send_barrier(xpc_connection_t connection, dispatch_block_t barrier) {
  const sim_object* peer = connection;
  /* What the peer has received so far, for a test whose process the
     barrier ends (a death test sees only the process's output). */
  pthread_mutex_lock(&lock);
  fprintf(stderr, "xpc_sim barrier: the peer received:\n%s", peer->received != NULL ? peer->received : "");
  fflush(stderr);
  pthread_mutex_unlock(&lock);
  barrier();
}

int xpc_connection_set_peer_code_signing_requirement(xpc_connection_t connection, const char* requirement) {
  sim_object* object = connection;
  if (requirement == NULL || requirement[0] == '\0') return EINVAL;
  pthread_mutex_lock(&lock);
  free(object->requirement);
  object->requirement = copy_text(requirement);
  pthread_mutex_unlock(&lock);
  return 0;
}

void xpc_connection_set_context(xpc_connection_t connection, void* context) {
  pthread_mutex_lock(&lock);
  ((sim_object*)connection)->context = context;
  pthread_mutex_unlock(&lock);
}

void* xpc_connection_get_context(xpc_connection_t connection) {
  pthread_mutex_lock(&lock);
  void* context = ((sim_object*)connection)->context;
  pthread_mutex_unlock(&lock);
  return context;
}

void xpc_connection_set_finalizer_f(xpc_connection_t connection, xpc_finalizer_t finalizer) {
  pthread_mutex_lock(&lock);
  ((sim_object*)connection)->finalizer = finalizer;
  pthread_mutex_unlock(&lock);
}

uid_t xpc_connection_get_euid(xpc_connection_t connection) { return ((sim_object*)connection)->euid; }
gid_t xpc_connection_get_egid(xpc_connection_t connection) { return ((sim_object*)connection)->egid; }

int xpc_dictionary_dup_fd(xpc_object_t xdict, const char* key) {
  const sim_object* dict = xdict;
  if (dict->type != XPC_TYPE_DICTIONARY || strcmp(key, "image_fd") != 0 || dict->image_fd < 0) return -1;
  const int copy = dup(dict->image_fd);
  if (copy >= 0) {
    pthread_mutex_lock(&lock);
    ++fds_handed_out;
    pthread_mutex_unlock(&lock);
  }
  return copy;
}

xpc_type_t xpc_get_type(xpc_object_t object) { return ((sim_object*)object)->type; }

/* Connections live as long as the simulation; messages count their retains
   so that the sender knows when the helper is done with them. */
xpc_object_t xpc_retain(xpc_object_t object) {
  sim_object* retained = object;
  if (retained->type != XPC_TYPE_DICTIONARY || retained->created) return object;
  pthread_mutex_lock(&lock);
  ++retained->retains;
  pthread_mutex_unlock(&lock);
  return object;
}

void xpc_release(xpc_object_t object) {
  sim_object* released = object;
  if (released->type != XPC_TYPE_DICTIONARY) return;
  if (!released->created) {
    pthread_mutex_lock(&lock);
    if (released->retains > 0) --released->retains;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    return;
  }
  pthread_mutex_lock(&lock);
  --live_replies;
  pthread_mutex_unlock(&lock);
  free_object(released);
}

xpc_object_t xpc_dictionary_create(const char* const* keys, const xpc_object_t* values, size_t count) {
  (void)keys;
  (void)values;
  (void)count;
  sim_object* dictionary = new_object(XPC_TYPE_DICTIONARY);
  dictionary->created = 1;
  pthread_mutex_lock(&lock);
  ++live_replies;
  pthread_mutex_unlock(&lock);
  return dictionary;
}

const char* xpc_dictionary_get_string(xpc_object_t xdict, const char* key) {
  const sim_object* dict = xdict;
  if (dict->type != XPC_TYPE_DICTIONARY || strcmp(key, "json") != 0 || dict->json_is_number) return NULL;
  return dict->json;
}

xpc_object_t xpc_dictionary_create_reply(xpc_object_t original) {
  sim_object* message = original;
  if (message->type != XPC_TYPE_DICTIONARY || !message->expects_reply) return NULL;
  sim_object* reply = new_object(XPC_TYPE_DICTIONARY);
  reply->created = 1;
  reply->original = message;
  pthread_mutex_lock(&lock);
  ++live_replies;
  pthread_mutex_unlock(&lock);
  return reply;
}

void xpc_dictionary_set_string(xpc_object_t xdict, const char* key, const char* string) {
  sim_object* dict = xdict;
  if (strcmp(key, "json") != 0) return;
  free(dict->json);
  dict->json = copy_text(string);
  dict->json_is_number = 0;
}

/* ---- test side ---------------------------------------------------------- */

static sim_object* find_listener(const char* label) {
  for (int i = listener_count - 1; i >= 0; --i) {
    if (listeners[i]->resumed && !listeners[i]->unregistered && strcmp(listeners[i]->label, label) == 0) {
      return listeners[i];
    }
  }
  return NULL;
}

void xpc_sim_next_service_unregistered(void) {
  pthread_mutex_lock(&lock);
  next_service_unregistered = 1;
  pthread_mutex_unlock(&lock);
}

void xpc_sim_replies_first(int on) {
  pthread_mutex_lock(&lock);
  replies_first = on;
  pthread_mutex_unlock(&lock);
}

int xpc_sim_wait_for_listener(const char* label) {
  /* Only a failure bound: a thread just started may wait long for a core. */
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 60;
  pthread_mutex_lock(&lock);
  int found = 0;
  while (!(found = find_listener(label) != NULL)) {
    if (pthread_cond_timedwait(&changed, &lock, &deadline) == ETIMEDOUT) break;
  }
  pthread_mutex_unlock(&lock);
  return found;
}

static int connect_peer(const char* label, unsigned int uid, unsigned int gid, const char* signature);

int xpc_sim_connect(const char* label) { return connect_peer(label, 0, 0, NULL); }

int xpc_sim_connect_as(const char* label, unsigned int uid, unsigned int gid) {
  return connect_peer(label, uid, gid, NULL);
}

int xpc_sim_connect_signed(const char* label, const char* signature) { return connect_peer(label, 0, 0, signature); }

long xpc_sim_messages_dropped(void) {
  pthread_mutex_lock(&lock);
  const long dropped = messages_dropped;
  pthread_mutex_unlock(&lock);
  return dropped;
}

static int connect_peer(const char* label, unsigned int uid, unsigned int gid, const char* signature) {
  pthread_mutex_lock(&lock);
  sim_object* listener = find_listener(label);
  if (listener == NULL || peer_count == kMaxConnections) {
    pthread_mutex_unlock(&lock);
    return 0;
  }
  sim_object* peer = new_object(XPC_TYPE_CONNECTION);
  peer->euid = (uid_t)uid;
  peer->egid = (gid_t)gid;
  peer->signature = signature != NULL ? copy_text(signature) : NULL;
  peer->listener = listener;
  peers[peer_count++] = peer;
  const int id = peer_count;
  xpc_handler_t handler = listener->handler;
  pthread_mutex_unlock(&lock);
  if (handler != NULL) handler(peer);
  return id;
}

struct delivery {
  sim_object* peer;
  sim_object* message;
};

static void* deliver(void* argument) {
  struct delivery* delivery = argument;
  pthread_mutex_lock(&lock);
  xpc_handler_t handler = delivery->peer->resumed && !delivery->peer->invalidated ? delivery->peer->handler : NULL;
  /* As on the platform, nothing reaches a peer's handler after its invalidation. */
  if (delivery->message == &_xpc_error_connection_invalid.object) delivery->peer->invalidated = 1;
  /* The platform checks the peer before any of its messages is handled. */
  const sim_object* listener = delivery->peer->listener;
  if (listener != NULL && listener->requirement != NULL &&
      (delivery->peer->signature == NULL || strcmp(delivery->peer->signature, listener->requirement) != 0)) {
    handler = NULL;
    ++messages_dropped;
  }
  pthread_mutex_unlock(&lock);
  if (handler != NULL) handler(delivery->message);
  pthread_mutex_lock(&lock);
  ++delivery->peer->handled;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
  return NULL;
}

int xpc_sim_wait_for_handled(int peer, long count) {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 60;
  pthread_mutex_lock(&lock);
  const sim_object* connection = (peer >= 1 && peer <= peer_count) ? peers[peer - 1] : NULL;
  int reached = 0;
  while (connection != NULL && !(reached = connection->handled >= count)) {
    if (pthread_cond_timedwait(&changed, &lock, &deadline) == ETIMEDOUT) break;
  }
  pthread_mutex_unlock(&lock);
  return reached;
}

static char* send_message(int peer, enum xpc_sim_message kind, const char* text, int expects_reply, int fd);

char* xpc_sim_send(int peer, enum xpc_sim_message kind, const char* text, int expects_reply) {
  return send_message(peer, kind, text, expects_reply, -1);
}

char* xpc_sim_send_with_fd(int peer, const char* text, int fd) {
  return send_message(peer, XPC_SIM_JSON_STRING, text, 1, fd);
}

long xpc_sim_fds_handed_out(void) {
  pthread_mutex_lock(&lock);
  const long count = fds_handed_out;
  pthread_mutex_unlock(&lock);
  return count;
}

static char* send_message(int peer, enum xpc_sim_message kind, const char* text, int expects_reply, int fd) {
  pthread_mutex_lock(&lock);
  sim_object* connection = (peer >= 1 && peer <= peer_count) ? peers[peer - 1] : NULL;
  pthread_mutex_unlock(&lock);
  if (connection == NULL) return NULL;

  if (kind == XPC_SIM_ERROR) {
    struct delivery delivery = {connection, &_xpc_error_connection_invalid.object};
    pthread_t thread;
    if (pthread_create(&thread, NULL, deliver, &delivery) != 0) abort();
    pthread_join(thread, NULL);
    return NULL;
  }
  sim_object* message = new_object(kind == XPC_SIM_NOT_DICTIONARY ? XPC_TYPE_STRING : XPC_TYPE_DICTIONARY);
  message->expects_reply = expects_reply;
  message->image_fd = fd;
  if (kind == XPC_SIM_JSON_STRING) message->json = copy_text(text != NULL ? text : "");
  if (kind == XPC_SIM_JSON_NUMBER) {
    message->json = copy_text("42");
    message->json_is_number = 1;
  }
  struct delivery delivery = {connection, message};
  pthread_mutex_lock(&lock);
  if (expects_reply && kind != XPC_SIM_NOT_DICTIONARY) connection->awaiting_reply = 1;
  pthread_mutex_unlock(&lock);
  pthread_t thread;
  if (pthread_create(&thread, NULL, deliver, &delivery) != 0) abort();
  pthread_join(thread, NULL);
  /* The helper may go on with the message after its handler returned. */
  pthread_mutex_lock(&lock);
  while (message->retains > 0) pthread_cond_wait(&changed, &lock);
  connection->awaiting_reply = 0;
  release_held(connection); /* none came: what was held goes through */
  pthread_mutex_unlock(&lock);

  char* reply = message->reply_text;
  message->reply_text = NULL;
  free_object(message);
  return reply;
}

char* xpc_sim_received(int peer) {
  pthread_mutex_lock(&lock);
  sim_object* connection = (peer >= 1 && peer <= peer_count) ? peers[peer - 1] : NULL;
  char* copy = copy_text(connection != NULL && connection->received != NULL ? connection->received : "");
  pthread_mutex_unlock(&lock);
  return copy;
}

char* xpc_sim_received_messages(int peer) {
  pthread_mutex_lock(&lock);
  sim_object* connection = (peer >= 1 && peer <= peer_count) ? peers[peer - 1] : NULL;
  char* copy = copy_text(connection != NULL && connection->messages != NULL ? connection->messages : "");
  pthread_mutex_unlock(&lock);
  return copy;
}

long xpc_sim_live_objects(void) {
  pthread_mutex_lock(&lock);
  const long live = live_replies;
  pthread_mutex_unlock(&lock);
  return live;
}

void xpc_sim_stop_main(void) {
  pthread_mutex_lock(&lock);
  stop_main = 1;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&lock);
}
