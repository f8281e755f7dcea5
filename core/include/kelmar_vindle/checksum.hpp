// SHA-256 of files and streams, always carried as 64 lower-case hexadecimal
// characters. Every function reads in 64 KiB steps and closes what it opens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::checksum {

inline constexpr std::size_t kReadSize = 65536;

// A streaming SHA-256 computation. The platform's implementation sits behind
// it (one source file per platform; the build picks it).
class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  ~Sha256();

  void update(std::span<const std::byte> bytes);
  void update(std::string_view bytes) { update(std::as_bytes(std::span(bytes.data(), bytes.size()))); }
  // The digest of everything fed so far; the object is spent afterwards.
  std::string finalize();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

std::string sha256_hex(std::string_view bytes);

// Told the bytes hashed so far after each further MiB and at the end; an
// error it returns ends the hash with that error (its caller stopping it).
using HashStep = std::function<Result<void>(std::uint64_t bytes_done)>;
inline constexpr std::uint64_t kStepBytes = 1048576;

// Hashes exactly `limit` bytes read from `fd` at its current position; never
// asks for more. Fails with `SizeMismatch` (expected `limit`, actual the
// bytes read) when the data ends early, or `Io` on a read error.
[[nodiscard]] Result<std::string> sha256_reader(int fd, std::uint64_t limit, const HashStep& step = {});

// The same for the bytes from `offset` on, read at explicit offsets (pread):
// the descriptor's file offset, which another holder of the descriptor may
// move meanwhile, is neither used nor changed.
[[nodiscard]] Result<std::string> sha256_at(int fd, std::uint64_t offset, std::uint64_t limit,
                                            const HashStep& step = {});

struct FileDigest {
  std::string sha256;
  std::uint64_t size = 0;  // the length reported by the file's metadata
};

// Hashes a whole regular file (see `open_image` for what is refused).
[[nodiscard]] Result<FileDigest> sha256_file(const std::filesystem::path& path);

struct Matches {
  std::string sha256;
  std::uint64_t size = 0;
};
struct HashDiffers {
  std::string expected;
  std::string actual;
  std::uint64_t size = 0;
};
struct SizeDiffers {
  std::uint64_t expected = 0;
  std::uint64_t actual = 0;
};
using FileVerdict = std::variant<Matches, HashDiffers, SizeDiffers>;

// Compares the file's length from its metadata with the expectation before
// reading a byte (a wrong length is `SizeDiffers`, the file unread); only
// then hashes exactly that many bytes and compares the digest (byte for
// byte, case-sensitive). `fd` is read from its start as `sha256_at` reads,
// whatever its file offset. `step` follows the hash as for `sha256_reader`.
[[nodiscard]] Result<FileVerdict> verify_open_file(int fd, std::string_view expected_sha256,
                                                   std::uint64_t expected_size, const HashStep& step = {});

// `verify_open_file` of the regular file at `path` (see `open_image`).
[[nodiscard]] Result<FileVerdict> verify_file(const std::filesystem::path& path, std::string_view expected_sha256,
                                              std::uint64_t expected_size);

}  // namespace kelmar_vindle::checksum
