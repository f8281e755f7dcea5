// Transfers in whole blocks, for nodes that take nothing else: a macOS raw
// disk node refuses any read or write whose offset or length is not a
// multiple of the media's block size, as a Linux block device opened for
// direct I/O does. Reads are rounded up to the block and trimmed to what
// was asked for; a write's last block that the image covers only in part
// is completed with what the disk holds after the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::write {

// What one rounded read gave.
struct RoundedRead {
  std::size_t used = 0;  // bytes of those asked for; fewer only where the node ends
  bool at_end = false;   // the node ended within this read
};

// Reads `want` bytes at `offset` (a multiple of `unit`) of `fd` as
// `want` rounded up to `unit` bytes into `room`, which holds that many (in
// page-aligned memory for direct I/O); interrupted reads are repeated. The
// descriptor's file offset is neither used nor moved.
[[nodiscard]] Result<RoundedRead> read_rounded_at(int fd, std::span<std::byte> room, std::size_t want,
                                                  std::uint64_t offset, std::size_t unit);

// The digest of exactly the first `count` bytes of `fd`, read from offset 0
// in chunks of whole `unit`s (at most one chunk each). A node that ends
// first fails with `SizeMismatch` (count, bytes there); `step` is told the
// bytes hashed so far after each chunk, and its error ends the read.
[[nodiscard]] Result<std::string> sha256_in_blocks(int fd, std::uint64_t count, std::size_t unit,
                                                   const checksum::HashStep& step = {});

// The last block of a write that ends inside it: `tail` (shorter than one
// `unit`, to be written at `offset`, a multiple of `unit`) followed by the
// bytes `fd` holds after it in that block (zeros where the node ends
// first), filled into `block` (one `unit`, page-aligned for direct I/O).
[[nodiscard]] Result<std::span<const std::byte>> complete_last_block(int fd, std::span<const std::byte> tail,
                                                                     std::uint64_t offset, std::size_t unit,
                                                                     std::span<std::byte> block);

}  // namespace kelmar_vindle::write
