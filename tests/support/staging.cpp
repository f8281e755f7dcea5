#include "staging.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace kelmar_vindle::testing {
namespace {

std::string octal_mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

std::optional<std::string> unreachable_for_others(const std::filesystem::path& dir) {
  for (auto at = dir;; at = at.parent_path()) {
    struct stat entry {};
    if (::stat(at.c_str(), &entry) != 0) {
      return at.string() + ": " + std::error_code(errno, std::generic_category()).message();
    }
    if (!S_ISDIR(entry.st_mode) || (entry.st_mode & S_IXOTH) == 0) {
      return at.string() + " (mode " + octal_mode(entry.st_mode) + ", owner uid " + std::to_string(entry.st_uid) +
             ") lets no other user pass, so none can reach " + dir.string();
    }
    if (at == at.root_path()) return std::nullopt;
  }
}

StagingDir::StagingDir() {
  // /tmp, not $TMPDIR: a user's own temporary directory may be closed to others.
  std::string pattern = "/tmp/kelmar_vindle_staged.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp under /tmp failed");
  path_ = pattern;
  if (::chmod(path_.c_str(), 0755) != 0) throw std::runtime_error("cannot open " + pattern + " to other users");
}

StagingDir::~StagingDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::optional<std::string> StagingDir::unreachable() const {
  if (auto why = unreachable_for_others(path_)) return why;
  struct statvfs mount {};
  if (::statvfs(path_.c_str(), &mount) != 0) return "cannot inspect the file system of " + path_.string();
  if ((mount.f_flag & ST_NOEXEC) != 0)
    return path_.string() + " is on a file system mounted noexec, where no copy runs";
  return std::nullopt;
}

std::expected<std::filesystem::path, std::string> StagingDir::stage(const std::filesystem::path& source,
                                                                    mode_t mode) const {
  const auto copy = path_ / source.filename();
  std::error_code error;
  if (!std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing, error)) {
    return std::unexpected("cannot copy " + source.string() + " to " + copy.string() + ": " + error.message());
  }
  // The copy keeps the source's mode less the umask; set it whole.
  if (::chown(copy.c_str(), 0, 0) != 0 || ::chmod(copy.c_str(), mode) != 0) {
    return std::unexpected("cannot make " + copy.string() + " root's with mode " + octal_mode(mode) + ": " +
                           std::error_code(errno, std::generic_category()).message());
  }
  return copy;
}

}  // namespace kelmar_vindle::testing
