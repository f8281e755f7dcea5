// Write backends. The file sink stands in for a disk: it writes images into an
// ordinary file named at start-up.
#pragma once

#include <cstdint>
#include <filesystem>

namespace kelmar_vindle {

enum class BackendKind : std::uint8_t { FileSink, RealNotEnabled, MacosRaw };

// The file sink. It owns its path and holds no other state.
class MockFileBackend {
 public:
  explicit MockFileBackend(std::filesystem::path sink_path) : sink_path_(std::move(sink_path)) {}

  BackendKind kind() const { return BackendKind::FileSink; }
  const std::filesystem::path& sink_path() const { return sink_path_; }

 private:
  std::filesystem::path sink_path_;
};

}  // namespace kelmar_vindle
