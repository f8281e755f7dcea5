// Which program the front end starts for a write, and with what arguments:
// the helper itself, or the helper through a privilege launcher.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "invoking_user.hpp"
#include "kelmar_vindle/device.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

inline constexpr std::string_view kHelperName = "kelmar_vindle_helper";

// The executable file `name` in a directory of PATH, as an absolute path.
std::optional<std::filesystem::path> find_on_path(std::string_view name);

// The helper to run, as an absolute path: `chosen` when given, else the
// helper beside the front end's own executable (the build tree), else the
// one in the installed layout seen from it (bin/kelmar-vindle finds
// libexec/kelmar-vindle/kelmar_vindle_helper, however the build named the
// two), else the one on PATH.
[[nodiscard]] TextResult<std::filesystem::path> locate_helper(const std::optional<std::filesystem::path>& chosen);

struct HelperInvocation {
  std::vector<std::string> argv;  // argv[0] is an absolute path
  bool through_launcher = false;  // pkexec or sudo asks for a password first
};

// Who the front end runs as, for whom, and what it finds on PATH; passed in
// so that the choice reads nothing else.
struct Privilege {
  bool root = false;
  uid_t uid = 0;  // the invoking user's ids, whose rights the helper reads the image with
  gid_t gid = 0;
  bool root_for_them = false;  // root, acting for a user who is not (see InvokingUser)
  std::optional<std::filesystem::path> pkexec;
  std::optional<std::filesystem::path> sudo;

  static Privilege of_this_process(const InvokingUser& user);
};

// With `sink`: the helper writing into that file (plus `--fixture`), run as
// the front end runs: as the user, or as root for them, when they are named
// as its client too, so that it opens the sink with their rights. Otherwise
// the purchaser profile pinned to `target`'s serial and size, real writes
// enabled and the user named as the client (plus `--fixture`): directly when
// root, else through pkexec, else through sudo; with neither, a text saying
// that root is needed. The helper's environment keeps the launcher's
// SUDO_UID, SUDO_GID or PKEXEC_UID.
[[nodiscard]] TextResult<HelperInvocation> helper_invocation(const std::filesystem::path& helper,
                                                             const DeviceIdentity& target,
                                                             const std::optional<std::filesystem::path>& fixture,
                                                             const std::optional<std::filesystem::path>& sink,
                                                             const Privilege& privilege);

}  // namespace kelmar_vindle::frontend
