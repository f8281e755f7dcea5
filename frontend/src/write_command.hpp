// `kelmar-vindle write IMAGE DISK`: one image onto one USB disk, through the
// helper.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "text_result.hpp"

namespace kelmar_vindle::frontend {

struct WriteOptions {
  std::filesystem::path image;
  std::string disk;                                  // its kernel or BSD name, or its id
  std::optional<std::string> sha256;                 // the published digest
  std::optional<std::filesystem::path> sha256_file;  // or a checksum list holding it
  bool yes = false;                                  // no question asked
  std::optional<std::filesystem::path> helper;
  std::optional<std::filesystem::path> fixture;  // a mock disk list, passed on to the helper
  std::optional<std::filesystem::path> sink;     // the helper writes into this file instead
};

// Finds the disk and refuses one the helper would not write, before
// anything else; takes the digest (or hashes the image, saying so); shows
// what will be erased and asks for the disk's name unless `yes`; then runs
// the helper for one `write` with progress and reports the verified digest
// and the time taken on standard output. Everything else goes to standard
// error. Fails with the text to show (the helper's own message, a refusal,
// "not confirmed; nothing was written", a stopped write). Never writes the
// disk or the sink itself.
[[nodiscard]] TextResult<> run_write(const WriteOptions& options);

}  // namespace kelmar_vindle::frontend
