#include <fcntl.h>

#include "kelmar_vindle/read_ahead.hpp"

namespace kelmar_vindle {

void advise_sequential(int fd) { ::fcntl(fd, F_RDAHEAD, 1); }

}  // namespace kelmar_vindle
