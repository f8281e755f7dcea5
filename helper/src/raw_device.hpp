// What the raw backend asks of a disk device beyond reading and writing; one
// source file per platform, chosen by the build.
#pragma once

#include <cstdint>
#include <optional>

#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::helper::raw_device {

// The size in bytes of the disk behind `fd`, or none when `fd` is not a disk
// device (a file standing in for one in tests) or the system does not answer.
std::optional<std::uint64_t> media_size(int fd);

// The open flags that make a descriptor hold the disk exclusively for as
// long as it is open, failing the open at once while anyone else holds it:
// O_EXLOCK with O_NONBLOCK on macOS; none elsewhere (Linux disks are opened
// with O_EXCL by their own interface).
int exclusive_open_flags();

// The size of one block of the disk behind `fd`, which every transfer on a
// node that takes whole blocks only must be a multiple of; none when `fd` is
// not such a disk node or the system does not answer.
std::optional<std::uint32_t> block_size(int fd);

// After fsync, makes the drive put its own cache on the medium where fsync
// alone does not. Succeeds only when the drive was told to, or when there is
// nothing to tell: `fd` is no disk (a file standing in for one) or the drive
// keeps no cache it could flush.
[[nodiscard]] Result<void> synchronize_cache(int fd);

}  // namespace kelmar_vindle::helper::raw_device
