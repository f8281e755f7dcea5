/* The simulated raw disk nodes: the system calls of the whole program pass
   through here, and those on a registered node are held to the rules of the
   platform's raw disk nodes (see platform_sim/raw_node.h). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/disk.h>
#include <sys/fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform_sim/raw_node.h"

enum { kMaxNodes = 16 };

struct node {
  dev_t dev;
  ino_t ino;
  uint64_t size;
  unsigned int block_size;
  long refused;
  long unsynchronized;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct node nodes[kMaxNodes];
static atomic_int node_count;

typedef int (*open_fn)(const char*, int, ...);
typedef ssize_t (*read_fn)(int, void*, size_t);
typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef ssize_t (*pread_fn)(int, void*, size_t, off_t);
typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);
typedef int (*ioctl_fn)(int, unsigned long, void*);

/* The system's own function of that name. */
static void* system_call(const char* name) {
  void* found = dlsym(RTLD_NEXT, name);
  if (found == NULL) abort();
  return found;
}
#define SYSTEM(type, name) ((type)system_call(name))

/* The node of that file, or -1. */
static int node_at(const struct stat* info) {
  pthread_mutex_lock(&lock);
  int found = -1;
  for (int i = 0; i < atomic_load(&node_count); ++i) {
    if (nodes[i].dev == info->st_dev && nodes[i].ino == info->st_ino) found = i;
  }
  pthread_mutex_unlock(&lock);
  return found;
}

/* The node `fd` is open on, or -1. */
static int node_of(int fd) {
  if (atomic_load(&node_count) == 0) return -1;
  struct stat info;
  return fstat(fd, &info) == 0 ? node_at(&info) : -1;
}

static int node_of_path(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 ? node_at(&info) : -1;
}

/* Whether a transfer of `length` bytes at `offset` is whole blocks; the
   refusal is counted. */
static int aligned(int node, uint64_t offset, size_t length) {
  pthread_mutex_lock(&lock);
  const unsigned int block = nodes[node].block_size;
  const int whole = offset % block == 0 && length % block == 0;
  if (!whole) ++nodes[node].refused;
  pthread_mutex_unlock(&lock);
  return whole;
}

/* A write of `length` bytes at `offset` is clipped at the media's end. */
static size_t writable(int node, uint64_t offset, size_t length) {
  pthread_mutex_lock(&lock);
  const uint64_t size = nodes[node].size;
  pthread_mutex_unlock(&lock);
  if (offset >= size) return 0;
  return size - offset < length ? (size_t)(size - offset) : length;
}

static void wrote(int node, ssize_t count) {
  if (count <= 0) return;
  pthread_mutex_lock(&lock);
  nodes[node].unsynchronized += count;
  pthread_mutex_unlock(&lock);
}

static uint64_t position(int fd) {
  const off_t at = lseek(fd, 0, SEEK_CUR);
  return at < 0 ? 0 : (uint64_t)at;
}

ssize_t read(int fd, void* buffer, size_t length) {
  const int node = node_of(fd);
  if (node >= 0 && !aligned(node, position(fd), length)) {
    errno = EINVAL;
    return -1;
  }
  return SYSTEM(read_fn, "read")(fd, buffer, length);
}

ssize_t pread(int fd, void* buffer, size_t length, off_t offset) {
  const int node = node_of(fd);
  if (node >= 0 && !aligned(node, (uint64_t)offset, length)) {
    errno = EINVAL;
    return -1;
  }
  return SYSTEM(pread_fn, "pread")(fd, buffer, length, offset);
}

ssize_t pread64(int fd, void* buffer, size_t length, off_t offset) { return pread(fd, buffer, length, offset); }

ssize_t write(int fd, const void* bytes, size_t length) {
  const int node = node_of(fd);
  if (node < 0) return SYSTEM(write_fn, "write")(fd, bytes, length);
  const uint64_t at = position(fd);
  if (!aligned(node, at, length)) {
    errno = EINVAL;
    return -1;
  }
  const ssize_t count = SYSTEM(write_fn, "write")(fd, bytes, writable(node, at, length));
  wrote(node, count);
  return count;
}

ssize_t pwrite(int fd, const void* bytes, size_t length, off_t offset) {
  const int node = node_of(fd);
  if (node < 0) return SYSTEM(pwrite_fn, "pwrite")(fd, bytes, length, offset);
  if (!aligned(node, (uint64_t)offset, length)) {
    errno = EINVAL;
    return -1;
  }
  const ssize_t count = SYSTEM(pwrite_fn, "pwrite")(fd, bytes, writable(node, (uint64_t)offset, length), offset);
  wrote(node, count);
  return count;
}

ssize_t pwrite64(int fd, const void* bytes, size_t length, off_t offset) { return pwrite(fd, bytes, length, offset); }

/* Opens as the platform does: with O_EXLOCK or O_SHLOCK, a lock on the node
   taken as it opens, or the open fails (EAGAIN with O_NONBLOCK). */
static int open_locked(const char* name, const char* path, int flags, mode_t mode) {
  const int lock_flags = flags & (O_EXLOCK | O_SHLOCK);
  const int fd = SYSTEM(open_fn, name)(path, flags & ~(O_EXLOCK | O_SHLOCK), mode);
  if (fd < 0 || lock_flags == 0 || node_of(fd) < 0) return fd;
  const int operation = ((lock_flags & O_EXLOCK) ? LOCK_EX : LOCK_SH) | ((flags & O_NONBLOCK) ? LOCK_NB : 0);
  if (flock(fd, operation) != 0) {
    const int error = errno == EWOULDBLOCK ? EAGAIN : errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

static mode_t mode_of(int flags, va_list arguments) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(arguments, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return open_locked("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_of(flags, arguments);
  va_end(arguments);
  return open_locked("open64", path, flags, mode);
}

/* Copies `length` bytes in from the caller as the kernel does: an address
   that cannot be read fails (EFAULT) instead of crashing. */
static int copy_in(void* into, const void* from, size_t length) {
  int pipe_ends[2];
  if (from == NULL || pipe2(pipe_ends, O_CLOEXEC) != 0) return -1;
  const ssize_t moved = SYSTEM(write_fn, "write")(pipe_ends[1], from, length);
  const int ok = moved == (ssize_t)length && SYSTEM(read_fn, "read")(pipe_ends[0], into, length) == (ssize_t)length;
  close(pipe_ends[0]);
  close(pipe_ends[1]);
  return ok ? 0 : -1;
}

static int synchronize(int node, const void* argument) {
  dk_synchronize_t request;
  if (copy_in(&request, argument, sizeof request) != 0) {
    errno = EFAULT;
    return -1;
  }
  static const uint8_t zero[sizeof request.reserved0160] = {0};
  pthread_mutex_lock(&lock);
  const unsigned int block = nodes[node].block_size;
  const uint64_t size = nodes[node].size;
  const int valid = memcmp(request.reserved0160, zero, sizeof zero) == 0 && request.offset % block == 0 &&
                    request.length % block == 0 && request.offset <= size && request.length <= size - request.offset;
  if (valid) nodes[node].unsynchronized = 0;
  pthread_mutex_unlock(&lock);
  if (!valid) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  const int node = node_of(fd);
  if (node < 0) return SYSTEM(ioctl_fn, "ioctl")(fd, request, argument);
  pthread_mutex_lock(&lock);
  const uint32_t block = nodes[node].block_size;
  const uint64_t blocks = nodes[node].size / block;
  pthread_mutex_unlock(&lock);
  switch (request) {
    case DKIOCGETBLOCKSIZE: memcpy(argument, &block, sizeof block); return 0;
    case DKIOCGETBLOCKCOUNT: memcpy(argument, &blocks, sizeof blocks); return 0;
    case DKIOCSYNCHRONIZE: return synchronize(node, argument);
    default: errno = ENOTTY; return -1;
  }
}

int raw_node_sim_add(const char* path, unsigned int block_size) {
  struct stat info;
  if (block_size == 0 || stat(path, &info) != 0 || info.st_size % block_size != 0) return -1;
  pthread_mutex_lock(&lock);
  const int index = atomic_load(&node_count);
  if (index == kMaxNodes) {
    pthread_mutex_unlock(&lock);
    return -1;
  }
  nodes[index] = (struct node){info.st_dev, info.st_ino, (uint64_t)info.st_size, block_size, 0, 0};
  atomic_store(&node_count, index + 1);
  pthread_mutex_unlock(&lock);
  return 0;
}

void raw_node_sim_reset(void) {
  pthread_mutex_lock(&lock);
  atomic_store(&node_count, 0);
  pthread_mutex_unlock(&lock);
}

static long counter(const char* path, int refusals) {
  const int node = node_of_path(path);
  if (node < 0) return -1;
  pthread_mutex_lock(&lock);
  const long value = refusals ? nodes[node].refused : nodes[node].unsynchronized;
  pthread_mutex_unlock(&lock);
  return value;
}

long raw_node_sim_refused(const char* path) { return counter(path, 1); }
long raw_node_sim_unsynchronized(const char* path) { return counter(path, 0); }
