#include "mount_namespace.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/spawn.hpp"

namespace kelmar_vindle::helper::mount_namespace {
namespace {

// The child's word on its work: "ok", or the failure's detail.
constexpr std::string_view kDone = "ok";

[[noreturn]] void child(int namespace_fd, int report_fd, const std::function<Result<void>()>& work) {
  std::string report;
  if (::setns(namespace_fd, CLONE_NEWNS) != 0) {
    report = last_os_error("join the system's mount namespace").detail();
  } else if (auto done = work(); !done) {
    report = done.error().detail();
  } else {
    report = kDone;
  }
  const bool sent = write_all(report_fd, report).has_value();
  ::_exit(sent ? 0 : 1);
}

}  // namespace

std::optional<bool> differs_from_own(const std::filesystem::path& system) {
  // A namespace is one inode of the namespace file system.
  struct stat theirs {};
  struct stat ours {};
  if (::stat(system.c_str(), &theirs) != 0 || ::stat(kOwn, &ours) != 0) return std::nullopt;
  return theirs.st_dev != ours.st_dev || theirs.st_ino != ours.st_ino;
}

Result<void> run_in(const std::filesystem::path& system, const std::function<Result<void>()>& work) {
  const UniqueFd target(::open(system.c_str(), O_RDONLY | O_CLOEXEC));
  if (!target.valid()) return std::unexpected(last_os_error("open " + system.string()));
  auto pipe = spawn::make_pipe();
  if (!pipe) return std::unexpected(std::move(pipe.error()));

  const pid_t pid = ::fork();
  if (pid < 0) return std::unexpected(last_os_error("fork"));
  if (pid == 0) child(target.get(), pipe->write.get(), work);

  pipe->write = UniqueFd();
  auto report = read_to_end(pipe->read.get());
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!report) return std::unexpected(std::move(report.error()));
  if (*report == kDone) return {};
  if (!report->empty()) return std::unexpected(Error::io(std::move(*report)));
  return std::unexpected(Error::io("the child working in the system's mount namespace ended without a word"));
}

}  // namespace kelmar_vindle::helper::mount_namespace
