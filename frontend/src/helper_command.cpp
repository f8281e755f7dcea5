#include "helper_command.hpp"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <system_error>

#include "own_path.hpp"

namespace kelmar_vindle::frontend {
namespace {

bool is_executable_file(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

// Where an installed helper lies, seen from the front end's directory; the
// build passes it in, from its install directories.
constexpr std::string_view kRelativeHelperDir = KV_RELATIVE_HELPER_DIR;

// Where the helper is looked for, in order, for the front end at `front_end`
// (its real path, so that `..` leaves the directory it is really in).
std::array<std::filesystem::path, 2> helper_candidates(const std::filesystem::path& front_end) {
  const auto directory = front_end.parent_path();
  return {directory / kHelperName, (directory / kRelativeHelperDir / kHelperName).lexically_normal()};
}

}  // namespace

std::optional<std::filesystem::path> find_on_path(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::string_view directories = path == nullptr ? "" : path;
  while (!directories.empty()) {
    const auto colon = directories.find(':');
    const std::string_view directory = directories.substr(0, colon);
    directories.remove_prefix(colon == std::string_view::npos ? directories.size() : colon + 1);
    // An empty entry means the current directory; a privileged program is
    // never taken from there.
    if (directory.empty() || directory.front() != '/') continue;
    auto candidate = std::filesystem::path(directory) / name;
    if (is_executable_file(candidate)) return candidate;
  }
  return std::nullopt;
}

TextResult<std::filesystem::path> locate_helper(const std::optional<std::filesystem::path>& chosen) {
  if (chosen) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(*chosen, error);
    if (error || !is_executable_file(absolute)) return std::unexpected(chosen->string() + " is not an executable file");
    return absolute;
  }
  if (const auto self = own_executable()) {
    for (const auto& candidate : helper_candidates(*self)) {
      if (is_executable_file(candidate)) return candidate;
    }
  }
  if (auto on_path = find_on_path(kHelperName)) return std::move(*on_path);
  return std::unexpected(std::string(kHelperName) + " is neither beside kelmar-vindle, nor in " +
                         std::string(kRelativeHelperDir) + " from it, nor on PATH; name it with --helper");
}

Privilege Privilege::of_this_process(const InvokingUser& user) {
  return {.root = ::geteuid() == 0,
          .uid = user.client.uid,
          .gid = user.client.gid,
          .root_for_them = user.root_for_them,
          .pkexec = find_on_path("pkexec"),
          .sudo = find_on_path("sudo")};
}

TextResult<HelperInvocation> helper_invocation(const std::filesystem::path& helper, const DeviceIdentity& target,
                                               const std::optional<std::filesystem::path>& fixture,
                                               const std::optional<std::filesystem::path>& sink,
                                               const Privilege& privilege) {
  const std::vector<std::string> client = {"--client-uid", std::to_string(privilege.uid), "--client-gid",
                                           std::to_string(privilege.gid)};
  std::vector<std::string> args;
  if (sink) {
    args = {"--sink", sink->string()};
    if (privilege.root_for_them) args.insert(args.end(), client.begin(), client.end());
  } else {
    args = {"--purchaser", "--allow-real-write", "--expect-serial",
            target.serial, "--expect-size",      std::to_string(target.size)};
    args.insert(args.end(), client.begin(), client.end());
  }
  if (fixture) args.insert(args.end(), {"--fixture", fixture->string()});

  HelperInvocation invocation;
  if (sink || privilege.root) {
    invocation.argv = {helper.string()};
  } else if (privilege.pkexec) {
    invocation.argv = {privilege.pkexec->string(), helper.string()};
    invocation.through_launcher = true;
  } else if (privilege.sudo) {
    invocation.argv = {privilege.sudo->string(), "--", helper.string()};
    invocation.through_launcher = true;
  } else {
    return std::unexpected(
        std::string("writing a disk needs root: run kelmar-vindle as root, or install pkexec or sudo"));
  }
  invocation.argv.insert(invocation.argv.end(), args.begin(), args.end());
  return invocation;
}

}  // namespace kelmar_vindle::frontend
