/* The test side of the simulated raw disk nodes (/dev/rdiskN). A file
   registered here stands for the raw node of a disk whose media is the
   file's length and whose block size is given: as the platform's raw node
   does, it refuses every read and write whose offset or length is not a
   multiple of the block size (EINVAL), answers DKIOCGETBLOCKSIZE and
   DKIOCGETBLOCKCOUNT, and takes DKIOCSYNCHRONIZE only with a readable
   dk_synchronize_t whose reserved bytes are zero and whose range is whole
   blocks (else EFAULT or EINVAL); every other disk ioctl is ENOTTY. An open
   with O_EXLOCK or O_SHLOCK (sys/fcntl.h) locks the node as the platform
   does, so that a lock held elsewhere keeps it out.

   The simulation stands in for the system calls open, read, write, pread
   and pwrite (and their 64-bit names) and ioctl of the whole test program, and
   passes every call on a descriptor that is not a registered node to the
   system unchanged. Plain C, callable from C++ tests. */
#ifndef PLATFORM_SIM_RAW_NODE_H
#define PLATFORM_SIM_RAW_NODE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Registers the existing file at `path` as a raw node with `block_size`
   bytes per block; its length must be a whole number of blocks. 0 on
   success, -1 when the file cannot be had or does not fit. */
int raw_node_sim_add(const char* path, unsigned int block_size);

/* Forgets every registered node. */
void raw_node_sim_reset(void);

/* For the node at `path`: transfers refused as not aligned, and bytes
   written since the drive was last told to synchronize its cache (-1 for a
   path that is not a node). */
long raw_node_sim_refused(const char* path);
long raw_node_sim_unsynchronized(const char* path);

#ifdef __cplusplus
}
#endif

#endif
