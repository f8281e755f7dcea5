#include <fcntl.h>

#include "kelmar_vindle/read_ahead.hpp"

namespace kelmar_vindle {

void advise_sequential(int fd) { ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); }

}  // namespace kelmar_vindle
