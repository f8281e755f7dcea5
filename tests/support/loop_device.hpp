// A loop device over a backing file: a real block device with a size the
// raw backend can ask for. Needs root and losetup; `path()` is empty without.
#pragma once

#include <filesystem>
#include <string>

#include "process_runner.hpp"

namespace kelmar_vindle::testing {

class LoopDevice {
 public:
  explicit LoopDevice(const std::filesystem::path& backing) {
    const auto result = run_process("/usr/sbin/losetup", {.args = {"--find", "--show", backing.string()},
                                                          .env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}});
    if (result.exit_status == 0 && !result.out.empty()) path_ = result.out.substr(0, result.out.find('\n'));
  }
  ~LoopDevice() {
    if (!path_.empty()) run_process("/usr/sbin/losetup", {.args = {"--detach", path_}});
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kelmar_vindle::testing
