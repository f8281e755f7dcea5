/* What the host's sys/param.h holds, with the platform's NGROUPS: the
   number of groups a credential carries (sys/ucred.h's xucred). */
#ifndef PLATFORM_SIM_SYS_PARAM_H
#define PLATFORM_SIM_SYS_PARAM_H

/* Stands in for the host header, which it then includes itself. */
#pragma GCC system_header
#include_next <sys/param.h>

#undef NGROUPS
#define NGROUPS 16

#endif
