// Unmounting a disk from a helper that runs in a mount namespace of its own,
// as a hardened service does: the namespace's mounts are slaves of the
// system's, so unmounting there alone leaves the system's mount holding the
// disk. A real file system on a loop device plays the stick.
//
// The test's own namespace is not touched: a forked "system" process makes a
// private namespace, mounts the file system there and shares its mounts; a
// "service" process forked from it makes its own namespace with every mount
// a slave (what systemd does for ProtectSystem= and friends) and runs the
// Linux backend's unmounting and exclusive open with the system's namespace
// pointed at the first process's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kelmar_vindle/file_io.hpp"
#include "kelmar_vindle/spawn.hpp"
#include "linux_mounts.hpp"
#include "linux_raw.hpp"
#include "loop_device.hpp"
#include "mount_namespace.hpp"
#include "process_runner.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle::helper {
namespace {

constexpr std::uint64_t kStickSize = 8 * 1048576;

struct Stick {
  std::string name;  // loopN
  std::string path;  // /dev/loopN
  std::filesystem::path mount_point;
  std::filesystem::path swaps;  // an empty swap list
};

// Runs `body` in a forked child and returns what it wrote to the pipe it got,
// after the child ended; a child that died says so.
std::string in_child(const std::function<std::string()>& body) {
  auto pipe = spawn::make_pipe();
  if (!pipe) return "pipe: " + pipe.error().text();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const bool sent = write_all(pipe->write.get(), body()).has_value();
    ::_exit(sent ? 0 : 1);
  }
  pipe->write = UniqueFd();
  auto said = read_to_end(pipe->read.get());
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return "child died";
  return said ? *said : said.error().text();
}

// Whether this process's mount table shows a mount of the stick.
bool mounted_here(const Stick& stick) {
  const device::linux::SystemPaths system;
  const auto nodes = linux_mounts::disk_nodes(system, stick.name);
  const auto mounts = device::linux::read_mount_table(system.mount_table);
  return nodes && mounts && !linux_mounts::mounts_on(*mounts, *nodes).empty();
}

// The service: a namespace of its own whose mounts follow the caller's, then
// the backend's unmounting and exclusive open as a write would run them.
std::string service(const Stick& stick, const std::filesystem::path& system_namespace) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0) {
    return "service namespace: " + last_os_error().text();
  }
  RawBackendPaths paths;
  paths.linux_system.swaps = stick.swaps;
  paths.system_mount_namespace = system_namespace;
  const LinuxDisks disks(paths);
  const write::Disk disk{stick.name, stick.path, kStickSize};
  if (auto prepared = disks.prepare(disk); !prepared) return "prepare: " + prepared.error().text();
  auto opened = disks.open_for_writing(disk);
  return opened ? "opened" : "open: " + opened.error().text();
}

// The system: a private namespace with the stick mounted and shared, so that
// a service namespace made from it gets slave copies. Answers, per service
// run, what the service said and whether the system still has the mount.
std::string system_with_mounted_stick(const Stick& stick) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_SHARED, nullptr) != 0) {
    return "system namespace: " + last_os_error().text();
  }
  if (::mount(stick.path.c_str(), stick.mount_point.c_str(), "ext2", 0, nullptr) != 0) {
    return "mount: " + last_os_error().text();
  }
  const std::string own_namespace = "/proc/" + std::to_string(::getpid()) + "/ns/mnt";
  std::string report;
  for (const std::string& system_namespace : {std::string(mount_namespace::kOwn), own_namespace}) {
    report += in_child([&] { return service(stick, system_namespace); });
    report += mounted_here(stick) ? ", system: mounted\n" : ", system: unmounted\n";
  }
  return report;
}

TEST(MountNamespace, TheSystemsMountsGoWhenTheServiceRunsInANamespaceOfItsOwn) {
  if (!testing::private_mount_namespace_available()) {
    GTEST_SKIP() << "needs root and a private mount namespace (unshare --mount), which this machine refuses";
  }
  testing::TempDir dir;
  const auto backing = dir.write("stick.img", std::string(kStickSize, '\0'));
  const testing::LoopDevice loop(backing);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device here (needs root and losetup)";
  const auto made = testing::run_process("/usr/sbin/mke2fs", {.args = {"-q", "-F", loop.path()}});
  if (made.exit_status != 0) GTEST_SKIP() << "no ext2 file system on the loop device (mke2fs): " << made.err;
  const Stick stick{std::filesystem::path(loop.path()).filename().string(), loop.path(), dir.path() / "media",
                    dir.write("swaps", "Filename Type Size Used Priority\n")};
  std::filesystem::create_directory(stick.mount_point);

  // Unmounting in the service's own namespace removes its copy only: the
  // system's mount keeps the disk, and the exclusive open is refused. In the
  // system's namespace the mount goes for both, and the disk is free.
  EXPECT_EQ(in_child([&] { return system_with_mounted_stick(stick); }),
            "open: I/O error: open " + stick.path +
                ": Device or resource busy (os error 16), system: mounted\n"
                "opened, system: unmounted\n");
}

TEST(MountNamespace, ComparesNamespacesByTheirFiles) {
  EXPECT_EQ(mount_namespace::differs_from_own(mount_namespace::kOwn), false);
  EXPECT_EQ(mount_namespace::differs_from_own("/nonexistent/ns/mnt"), std::nullopt);
  const auto joined = mount_namespace::run_in("/nonexistent/ns/mnt", [] { return Result<void>{}; });
  EXPECT_EQ(joined.error(), Error::io("open /nonexistent/ns/mnt: No such file or directory (os error 2)"));
  // Joining a namespace takes root; the child's failure comes back with its
  // detail.
  if (::geteuid() != 0) return;
  const auto failed = mount_namespace::run_in(mount_namespace::kOwn, [] {
    return Result<void>(std::unexpected(Error::io("unmount /media/x: Device or resource busy (os error 16)")));
  });
  EXPECT_EQ(failed.error(), Error::io("unmount /media/x: Device or resource busy (os error 16)"));
}

}  // namespace
}  // namespace kelmar_vindle::helper
