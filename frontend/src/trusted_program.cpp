#include "trusted_program.hpp"

#include <sys/stat.h>

#include <string>
#include <system_error>

#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle::frontend {
namespace {

// Why users other than root may write the entry `path`, if they may.
TextResult<> written_by_root_only(const std::filesystem::path& path) {
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) != 0) return std::unexpected(path.string() + ": " + last_os_error().detail());
  // Resolved a moment ago: a link here now means the path is changing.
  if (S_ISLNK(entry.st_mode)) return std::unexpected(path.string() + " became a symbolic link while it was checked");
  const std::string may_be_written = path.string() + " may be written by users other than root (";
  if (entry.st_uid != 0)
    return std::unexpected(may_be_written + "its owner is user " + std::to_string(entry.st_uid) + ")");
  if ((entry.st_mode & S_IWGRP) != 0 && entry.st_gid != 0) {
    return std::unexpected(may_be_written + "its group " + std::to_string(entry.st_gid) + " may write it)");
  }
  if ((entry.st_mode & S_IWOTH) != 0) return std::unexpected(may_be_written + "anyone may write it)");
  return {};
}

}  // namespace

TextResult<std::filesystem::path> only_root_may_change(const std::filesystem::path& program) {
  std::error_code error;
  auto real = std::filesystem::canonical(program, error);
  if (error) return std::unexpected(program.string() + ": " + error.message());
  // The program first, then upwards, so that the refusal names the nearest
  // cause rather than, say, a world-writable /tmp far above it.
  for (std::filesystem::path at = real;; at = at.parent_path()) {
    if (auto checked = written_by_root_only(at); !checked) return std::unexpected(checked.error());
    if (at == at.root_path()) break;
  }
  return real;
}

}  // namespace kelmar_vindle::frontend
