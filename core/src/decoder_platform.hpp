// The platform's part of starting the decoder program: where this process's
// own executable is (the decoder lives beside it) and how a forked child
// executes the program it was given. One file per platform
// (decoder_platform_linux.cpp, decoder_platform_macos.cpp,
// decoder_platform_none.cpp).
#pragma once

#include <filesystem>
#include <optional>

namespace kelmar_vindle::detail {

// The running executable's path with symbolic links resolved; none where
// the platform cannot tell.
std::optional<std::filesystem::path> own_executable();

// Runs in the forked child (system calls only): executes the program open
// on `program` (whose path is `path`) with `argv` and an empty environment.
// Returns only on failure, with the error number.
int execute_program(int program, const char* path, char* const argv[]);

}  // namespace kelmar_vindle::detail
