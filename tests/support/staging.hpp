// What a test runs or reads as another user must lie where that user can
// reach it. The build tree and the examples need not (a clone in root's
// 0700 home), so such a test copies them into a fresh directory under /tmp
// that every user may search, and uses the copies.
#pragma once

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace kelmar_vindle::testing {

// Why a user other than the owners could not reach an entry of `dir`: the
// first directory from / down to `dir` (itself included) that others may not
// search. None when every one of them may be searched.
std::optional<std::string> unreachable_for_others(const std::filesystem::path& dir);

// A fresh directory under /tmp, mode 0755, removed with everything in it
// afterwards.
class StagingDir {
 public:
  StagingDir();
  StagingDir(const StagingDir&) = delete;
  StagingDir& operator=(const StagingDir&) = delete;
  ~StagingDir();

  const std::filesystem::path& path() const { return path_; }
  // Why another user could not run or read what is staged here (for a
  // skip); none when they can.
  std::optional<std::string> unreachable() const;
  // Copies `source` in under its own name with `mode` (0755 for a program,
  // 0644 for data), owned by root: the copy's path, or why it failed.
  std::expected<std::filesystem::path, std::string> stage(const std::filesystem::path& source, mode_t mode) const;

 private:
  std::filesystem::path path_;
};

}  // namespace kelmar_vindle::testing
