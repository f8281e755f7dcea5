/* The slice of libdispatch that the helper's XPC shim calls. */
#ifndef PLATFORM_SIM_DISPATCH_H
#define PLATFORM_SIM_DISPATCH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct dispatch_queue_s* dispatch_queue_t;
typedef struct dispatch_queue_attr_s* dispatch_queue_attr_t;
#define DISPATCH_QUEUE_SERIAL ((dispatch_queue_attr_t)0)
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
