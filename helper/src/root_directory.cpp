#include "root_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

namespace kelmar_vindle::helper {
namespace {

// Symbolic links followed before the walk gives up, as the system does.
constexpr int kMaxLinks = 40;

bool only_root_may_write(const struct stat& info) {
  return info.st_uid == 0 && (info.st_mode & S_IWOTH) == 0 && ((info.st_mode & S_IWGRP) == 0 || info.st_gid == 0);
}

// Whether an entry owned by `entry_owner` in the directory `parent` can be
// renamed or removed by no one but root.
bool entry_is_fixed(const struct stat& parent, uid_t entry_owner) {
  return only_root_may_write(parent) || ((parent.st_mode & S_ISVTX) != 0 && parent.st_uid == 0 && entry_owner == 0);
}

std::deque<std::string> components_of(const std::string& path) {
  std::deque<std::string> parts;
  std::size_t at = 0;
  while (at < path.size()) {
    const auto slash = path.find('/', at);
    const auto end = slash == std::string::npos ? path.size() : slash;
    if (end > at) parts.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

std::string joined(const std::vector<std::string>& walked) {
  std::string path;
  for (const auto& part : walked) path += "/" + part;
  return path.empty() ? "/" : path;
}

}  // namespace

TextResult<DirectoryWalk> walk_to_root_only_directory(const std::string& path) {
  std::string absolute = path;
  if (absolute.empty() || absolute.front() != '/') {
    std::vector<char> here(4096);
    if (::getcwd(here.data(), here.size()) == nullptr) return std::unexpected(os_error_text(errno));
    absolute = std::string(here.data()) + "/" + absolute;
  }
  std::deque<std::string> left = components_of(absolute);
  std::vector<std::string> walked;
  UniqueFd at(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!at.valid()) return std::unexpected(os_error_text(errno));
  struct stat here {};
  if (::fstat(at.get(), &here) != 0) return std::unexpected(os_error_text(errno));
  if (!only_root_may_write(here)) return DirectoryWalk(OthersMayChange{"/"});

  int links = 0;
  while (!left.empty()) {
    const std::string name = std::move(left.front());
    left.pop_front();
    if (name == ".") continue;
    struct stat entry {};
    if (::fstatat(at.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
      return std::unexpected(os_error_text(errno));
    if (name != ".." && !entry_is_fixed(here, entry.st_uid)) return DirectoryWalk(OthersMayChange{joined(walked)});
    if (S_ISLNK(entry.st_mode)) {
      if (++links > kMaxLinks) return std::unexpected(os_error_text(ELOOP));
      std::vector<char> target(4096);
      const ssize_t length = ::readlinkat(at.get(), name.c_str(), target.data(), target.size() - 1);
      if (length < 0) return std::unexpected(os_error_text(errno));
      const std::string text(target.data(), static_cast<std::size_t>(length));
      auto parts = components_of(text);
      left.insert(left.begin(), parts.begin(), parts.end());
      if (!text.empty() && text.front() == '/') {
        at = UniqueFd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!at.valid() || ::fstat(at.get(), &here) != 0) return std::unexpected(os_error_text(errno));
        walked.clear();
      }
      continue;
    }
    UniqueFd next(::openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return std::unexpected(os_error_text(errno));
    if (::fstat(next.get(), &here) != 0) return std::unexpected(os_error_text(errno));
    if (name == "..") {
      if (!walked.empty()) walked.pop_back();
    } else {
      walked.push_back(name);
    }
    at = std::move(next);
    // A directory others may write could be crossed only by an entry root
    // owns in it (checked at the next step); the last one must be root's alone.
    if (left.empty() && !only_root_may_write(here)) return DirectoryWalk(OthersMayChange{joined(walked)});
    if (name == ".." && !only_root_may_write(here)) return DirectoryWalk(OthersMayChange{joined(walked)});
  }
  if (!only_root_may_write(here)) return DirectoryWalk(OthersMayChange{joined(walked)});
  return DirectoryWalk(RootOnlyDirectory{std::move(at)});
}

}  // namespace kelmar_vindle::helper
