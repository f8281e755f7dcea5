/* The disk ioctls the helper's macOS code calls, with the platform's names
   and argument types (sys/disk.h); the request numbers are this host's
   encoding of the same group, number and argument size. The simulated raw
   disk nodes (platform_sim/raw_node.h) answer them. */
#ifndef PLATFORM_SIM_SYS_DISK_H
#define PLATFORM_SIM_SYS_DISK_H

#include <stdint.h>
#include <sys/ioctl.h>

typedef struct {
  uint64_t offset;
  uint64_t length;
  uint32_t options;
  uint8_t reserved0160[4]; /* reserved, clear to zero */
} dk_synchronize_t;

#define DKIOCSYNCHRONIZE _IOW('d', 22, dk_synchronize_t)
#define DKIOCGETBLOCKSIZE _IOR('d', 24, uint32_t)
#define DKIOCGETBLOCKCOUNT _IOR('d', 25, uint64_t)

#endif
