#include "socket_place.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <variant>

#include "root_directory.hpp"

namespace kelmar_vindle::helper {
namespace {

// A name beside `name` that nobody can guess.
std::string fresh_name_beside(const std::string& name) {
  std::random_device random;
  std::string fresh = name + ".";
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 4; ++i) {
    const auto bits = random();
    for (int shift = 0; shift < 32; shift += 4) fresh += kHex[(bits >> shift) & 0xF];
  }
  return fresh;
}

TextResult<> check_address(const std::string& path) {
  if (path.size() >= sizeof(sockaddr_un::sun_path))
    return std::unexpected(std::string("path must be shorter than SUN_LEN"));
  // An empty address would ask the kernel for an unnamed (abstract) socket
  // that no client could find; refuse it as the missing path it is.
  if (path.empty()) return std::unexpected(os_error_text(ENOENT));
  return {};
}

mode_t umask_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0777 & ~mask);
}

}  // namespace

TextResult<SocketPlace> SocketPlace::make(const std::string& path, const std::optional<SocketClient>& only,
                                          const Client& launched_by) {
  if (auto checked = check_address(path); !checked) return std::unexpected(checked.error());
  const std::filesystem::path whole(path);
  const std::string directory_path = whole.parent_path().empty() ? std::string(".") : whole.parent_path().string();
  const std::string name = whole.filename().string();
  if (name.empty() || name == "." || name == "..") return std::unexpected(os_error_text(EISDIR));

  SocketPlan plan;
  plan.name = name;
  plan.fresh = fresh_name_beside(name);
  plan.mode = only ? (only->gid ? 0660 : 0600) : umask_mode();
  if (only) plan.trusted_group = only->gid;

  // The rights the file system work is done with, where it is not root's.
  Client maker = launched_by;
  if (only) {
    if (!launched_by.is_root() && only->uid != launched_by.uid) {
      return std::unexpected("--client-uid " + std::to_string(only->uid) + " is not the user who started the helper");
    }
    maker = Client::of_user(only->uid, only->gid ? &*only->gid : nullptr);
  }

  SocketPlace place;
  place.name_ = name;
  const auto by_child = [&](const Client& who, const UniqueFd* directory) -> TextResult<> {
    auto child = ClientProcess::start(who);
    if (!child) return std::unexpected(child.error().detail());
    auto made = child->listen(directory_path, plan, directory);
    if (!made) return std::unexpected(made.error().detail());
    place.socket_ = std::move(made->socket);
    if (directory == nullptr) {
      place.directory_ = std::move(made->directory);
      place.maker_.emplace(std::move(*child));
    }
    return {};
  };

  if (::geteuid() != 0 || !launched_by.is_root()) {
    if (auto made = by_child(maker, nullptr); !made) return std::unexpected(made.error());
    return place;
  }
  auto walk = walk_to_root_only_directory(directory_path);
  if (!walk) return std::unexpected(walk.error());
  if (auto* root_only = std::get_if<RootOnlyDirectory>(&*walk)) {
    // Root's own directory: a child that stays root binds in it (a socket
    // is bound by a path, so only a process of one thread may change into
    // the directory to do it), and root gives the fresh name its owner
    // through the held descriptor.
    if (only) {
      plan.owner = only->uid;
      plan.group = only->gid;
    }
    if (auto made = by_child(Client::root(), &root_only->fd); !made) return std::unexpected(made.error());
    place.directory_ = std::move(root_only->fd);
    return place;
  }
  if (!only) {
    return std::unexpected("socket directory " + directory_path +
                           " may be written by users other than root and the client");
  }
  if (auto made = by_child(maker, nullptr); !made) return std::unexpected(made.error());
  return place;
}

void SocketPlace::remove() {
  if (!directory_.valid()) return;
  if (maker_) {
    static_cast<void>(maker_->remove(directory_, name_));
  } else {
    ::unlinkat(directory_.get(), name_.c_str(), 0);
  }
}

}  // namespace kelmar_vindle::helper
