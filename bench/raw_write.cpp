// Writes one image through the raw disk backend onto a file or device that
// stands in for a raw node, and prints how long each phase took:
//   kelmar_vindle_raw_write IMAGE EXPECTED_SHA256 DEVICE_DIRECTORY
// The node is DEVICE_DIRECTORY/rdisk4; the disk utility is /bin/true.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "kelmar_vindle/device/enumerators.hpp"
#include "macos_raw.hpp"

using namespace kelmar_vindle;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s IMAGE EXPECTED_SHA256 DEVICE_DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::filesystem::path image = argv[1];
  const std::string directory = argv[3];

  DeviceCandidate stick;
  stick.identity = {"vindle-1", "BENCH", "Acme", "Stick", 1, 2, 1ULL << 40, Bus::Usb, false, std::nullopt, "disk4", std::nullopt};
  stick.serial = "BENCH";
  stick.size = stick.identity.size;
  stick.bus = Bus::Usb;
  stick.is_usb = true;
  const MockEnumerator live({stick});
  const helper::MacosRawBackend backend({"", 0, true, true}, live, {"/bin/true", directory});

  WriteJob job;
  job.job_id = "bench";
  job.image_path = image;
  job.expected_sha256 = argv[2];
  job.expected_size = std::filesystem::file_size(image);
  job.write_mode = "raw-dd-hybrid";
  job.target = stick.identity;

  const auto start = Clock::now();
  Clock::time_point copy_start{};
  Clock::time_point written{};
  ProgressFn progress = [&](const WritePhase& phase) {
    if (phase == WritePhase::writing(0, job.expected_size)) copy_start = Clock::now();
    if (phase.kind == WritePhase::Kind::Written) written = Clock::now();
  };
  const std::atomic<bool> cancel{false};
  const auto digest = backend.write_job(job, cancel, progress);
  const auto end = Clock::now();
  if (!digest) {
    std::fprintf(stderr, "%s\n", digest.error().text().c_str());
    return 1;
  }
  const auto ms = [](auto from, auto to) { return std::chrono::duration<double, std::milli>(to - from).count(); };
  std::printf("check %.0f copy %.0f verify %.0f total %.0f\n", ms(start, copy_start), ms(copy_start, written),
              ms(written, end), ms(start, end));
  return 0;
}
