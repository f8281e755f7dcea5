/* What the host's sys/un.h holds, and the platform's local socket options. */
#ifndef PLATFORM_SIM_SYS_UN_H
#define PLATFORM_SIM_SYS_UN_H

/* Stands in for the host header, which it then includes itself. */
#pragma GCC system_header
#include_next <sys/un.h>

#define SOL_LOCAL 0
#define LOCAL_PEERCRED 0x001 /* struct xucred (sys/ucred.h) */

#endif
