// A helper file made set-user-ID root, or given file capabilities, must not
// become a way for any user to run it with root's powers: started so, the
// real binary refuses before it reads its options, environment or input.
// Run by a real unprivileged user (a child that drops to "nobody").
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kelmar_vindle/file_io.hpp"
#include "process_runner.hpp"
#include "staging.hpp"

namespace kelmar_vindle {
namespace {

constexpr std::string_view kRefusal =
    "helper error: refusing to run with raised privileges (setuid, setgid or file capabilities): start the helper "
    "as root through pkexec, sudo or a service instead\n";

struct Outcome {
  int exit_status = -1;  // -1: did not exit normally
  std::string out = {};
  std::string err = {};
};

// Everything `fd` gives until its end.
std::string drain(UniqueFd fd) { return read_to_end(fd.get()).value_or("(unreadable)"); }

// Runs `program` with `args` as `user` (its own group only, nothing of
// root's), with standard input on /dev/null and an empty environment, and
// collects how it ended.
Outcome run_as(const passwd& user, const std::string& program, const std::vector<std::string>& args) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return {.err = "pipe failed"};
  UniqueFd out_read(out_pipe[0]), out_write(out_pipe[1]);
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) return {.err = "pipe failed"};
  UniqueFd err_read(err_pipe[0]), err_write(err_pipe[1]);
  std::vector<std::string> text{program};
  text.insert(text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : text) argv.push_back(a.data());
  argv.push_back(nullptr);
  char* envp[] = {nullptr};
  const gid_t group = user.pw_gid;
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(out_write.get(), 1) < 0 || ::dup2(err_write.get(), 2) < 0) {
      ::_exit(125);
    }
    if (::setgroups(1, &group) != 0 || ::setgid(user.pw_gid) != 0 || ::setuid(user.pw_uid) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp);
    ::_exit(127);
  }
  out_write = UniqueFd();
  err_write = UniqueFd();
  if (child < 0) return {.err = "fork failed"};
  Outcome outcome;
  outcome.out = drain(std::move(out_read));
  outcome.err = drain(std::move(err_read));
  int status = 0;
  if (::waitpid(child, &status, 0) == child && WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
  return outcome;
}

class RaisedPrivileges : public ::testing::Test {
 protected:
  void SetUp() override {
    const passwd* found = ::getpwnam("nobody");
    if (::geteuid() != 0 || found == nullptr || found->pw_uid == 0) {
      GTEST_SKIP() << "needs root and an unprivileged user named nobody";
    }
    nobody = *found;
    if (const auto why = dir.unreachable()) GTEST_SKIP() << "no copy of the helper can run as nobody: " << *why;
    struct statvfs mount {};
    ASSERT_EQ(::statvfs(dir.path().c_str(), &mount), 0);
    if ((mount.f_flag & ST_NOSUID) != 0) {
      GTEST_SKIP() << dir.path() << " is on a file system mounted nosuid, where no file raises privileges";
    }
  }

  // A root-owned copy of the helper binary that nobody may run.
  std::filesystem::path copy_of_helper(std::string_view name) const {
    const auto copy = dir.path() / name;
    std::filesystem::copy_file(testing::helper_binary(), copy);
    EXPECT_EQ(::chown(copy.c_str(), 0, 0), 0);
    EXPECT_EQ(::chmod(copy.c_str(), 0755), 0);
    return copy;
  }

  // Where nobody may run the copies, whatever the build tree's place.
  const testing::StagingDir dir;
  passwd nobody{};
};

TEST_F(RaisedPrivileges, ASetUserIdStartIsRefused) {
  const auto plain = copy_of_helper("plain");
  // The same copy without the bit serves nobody as it would anyone.
  const auto served = run_as(nobody, plain.string(), {});
  ASSERT_EQ(served.exit_status, 0) << served.err;
  EXPECT_NE(served.out.find("EOF while parsing a value"), std::string::npos) << served.out;

  const auto setuid_copy = copy_of_helper("setuid");
  ASSERT_EQ(::chmod(setuid_copy.c_str(), 04755), 0);
  const auto refused = run_as(nobody, setuid_copy.string(), {});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.err, kRefusal);
  EXPECT_EQ(refused.out, "") << "no request was answered";

  const auto setgid_copy = copy_of_helper("setgid");
  ASSERT_EQ(::chmod(setgid_copy.c_str(), 02755), 0);
  const auto refused_group = run_as(nobody, setgid_copy.string(), {});
  EXPECT_EQ(refused_group.exit_status, 1);
  EXPECT_EQ(refused_group.err, kRefusal);
}

TEST_F(RaisedPrivileges, AStartWithFileCapabilitiesIsRefused) {
  const std::string setcap = "/usr/sbin/setcap";
  if (!std::filesystem::exists(setcap)) GTEST_SKIP() << "setcap (libcap2-bin) is not installed";
  const auto copy = copy_of_helper("capable");
  const auto set = testing::run_process(setcap, {.args = {"cap_dac_read_search+ep", copy.string()}});
  if (set.exit_status != 0) {
    GTEST_SKIP() << "this file system or kernel takes no file capabilities: " << set.err;
  }
  const auto refused = run_as(nobody, copy.string(), {});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.err, kRefusal);
  EXPECT_EQ(refused.out, "");
}

}  // namespace
}  // namespace kelmar_vindle
