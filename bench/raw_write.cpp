// Writes one image through the raw disk backend and prints how long each
// phase took. Either onto a file or device that stands in for a raw node:
//   kelmar_vindle_raw_write IMAGE EXPECTED_SHA256 DEVICE_DIRECTORY
// (the node is DEVICE_DIRECTORY/rdisk4, the disk utility /bin/true), or, as
// root, onto the attached USB stick with that serial, found in the machine's
// own disk list and written by the host's raw backend:
//   kelmar_vindle_raw_write --live-serial SERIAL IMAGE EXPECTED_SHA256
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "kelmar_vindle/device/enumerators.hpp"
#include "macos_raw.hpp"
#include "raw_backend.hpp"

using namespace kelmar_vindle;
using Clock = std::chrono::steady_clock;

namespace {

// The stand-in disk of the first form: as large as any image.
DeviceCandidate stand_in_stick() {
  return candidate_from_identity(
      {"vindle-1", "BENCH", "Acme", "Stick", 1, 2, 1ULL << 40, Bus::Usb, false, std::nullopt, "disk4", std::nullopt});
}

int write_and_time(const helper::RawDiskBackend& backend, const DeviceIdentity& target,
                   const std::filesystem::path& image, const char* sha256) {
  WriteJob job;
  job.job_id = "bench";
  job.image_path = image;
  job.expected_sha256 = sha256;
  job.expected_size = std::filesystem::file_size(image);
  job.write_mode = "raw-dd-hybrid";
  job.target = target;

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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string_view(argv[1]) == "--live-serial") {
    const std::string serial = argv[2];
    const PlatformEnumerator live;
    const auto disks = live.list();
    if (!disks) {
      std::fprintf(stderr, "%s\n", disks.error().text().c_str());
      return 1;
    }
    for (const auto& disk : *disks) {
      if (disk.serial != serial) continue;
      const auto backend = helper::make_host_raw_backend({serial, disk.size, true, true}, live);
      return write_and_time(*backend, disk.identity, argv[3], argv[4]);
    }
    std::fprintf(stderr, "no disk with serial %s\n", serial.c_str());
    return 1;
  }
  if (argc != 4) {
    std::fprintf(
        stderr,
        "usage: %s IMAGE EXPECTED_SHA256 DEVICE_DIRECTORY\n       %s --live-serial SERIAL IMAGE EXPECTED_SHA256\n",
        argv[0], argv[0]);
    return 2;
  }
  const DeviceCandidate stick = stand_in_stick();
  const MockEnumerator live({stick});
  const helper::MacosRawBackend backend({"", 0, true, true}, live, {"/bin/true", argv[3]});
  return write_and_time(backend, stick.identity, argv[1], argv[2]);
}
