// Hints to the system about how a file will be read; one source file per
// platform (read_ahead_linux.cpp, read_ahead_macos.cpp, read_ahead_none.cpp).
#pragma once

namespace kelmar_vindle {

// `fd` is about to be read once from start to end: read ahead generously.
// A hint only; where the system declines it nothing changes.
void advise_sequential(int fd);

}  // namespace kelmar_vindle
