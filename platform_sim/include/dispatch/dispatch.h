/* The slice of libdispatch that the helper's XPC shim calls. */
#ifndef PLATFORM_SIM_DISPATCH_H
#define PLATFORM_SIM_DISPATCH_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct dispatch_queue_s* dispatch_queue_t;

dispatch_queue_t dispatch_get_main_queue(void);
/* Parks the calling thread serving the main queue; never returns. */
void dispatch_main(void) __attribute__((__noreturn__));

#ifdef __cplusplus
}
#endif

#endif
