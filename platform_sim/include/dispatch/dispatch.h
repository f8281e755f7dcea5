/* The slice of libdispatch that the helper's XPC shim calls. */
#ifndef PLATFORM_SIM_DISPATCH_H
#define PLATFORM_SIM_DISPATCH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Objects as the SDK declares them for C++ without Objective-C (a queue is
   a dispatch object, so it converts to one) and for plain C (a transparent
   union of the object pointers). */
#ifdef __cplusplus
typedef struct dispatch_object_s {
 private:
  dispatch_object_s();
  ~dispatch_object_s();
  dispatch_object_s(const dispatch_object_s&);
  void operator=(const dispatch_object_s&);
} * dispatch_object_t;
typedef struct dispatch_queue_s : public dispatch_object_s{} * dispatch_queue_t;
#else
typedef struct dispatch_queue_s* dispatch_queue_t;
typedef union {
  struct dispatch_object_s* _do;
  struct dispatch_queue_s* _dq;
} dispatch_object_t __attribute__((__transparent_union__));
#endif
typedef struct dispatch_queue_attr_s* dispatch_queue_attr_t;
typedef void (*dispatch_function_t)(void*);
#define DISPATCH_QUEUE_SERIAL NULL
#ifdef __BLOCKS__
typedef void (^dispatch_block_t)(void);
#endif

dispatch_queue_t dispatch_get_main_queue(void);
/* A queue whose blocks run one at a time, in the order submitted (the
   simulation ignores `attr` and never releases queues). */
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
#ifdef __BLOCKS__
/* Runs `block` on a thread of its own, after the queue's earlier blocks. */
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
#endif
/* The function variants, for callers without blocks (platform_sim's
   dispatch_sim.cpp; the XPC simulation has the block ones). */
void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
/* Runs `work` on the queue after its earlier work and waits for it. */
void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
/* A queue's last release ends it once its pending work has run. */
void dispatch_release(dispatch_object_t object);
/* Parks the calling thread serving the main queue; never returns. */
void dispatch_main(void) __attribute__((__noreturn__));

typedef struct dispatch_semaphore_s* dispatch_semaphore_t;
typedef uint64_t dispatch_time_t;
#define DISPATCH_TIME_FOREVER (~0ull)
dispatch_semaphore_t dispatch_semaphore_create(long value);
long dispatch_semaphore_signal(dispatch_semaphore_t semaphore);
/* Only DISPATCH_TIME_FOREVER is simulated. A thread waiting so is parked as
   in dispatch_main: xpc_sim_stop_main ends it. */
long dispatch_semaphore_wait(dispatch_semaphore_t semaphore, dispatch_time_t timeout);

#ifdef __cplusplus
}
#endif

#endif
