// Many requests in one process, across the success and failure paths of the
// file sink and the Linux raw backend: the count of open descriptors must not
// grow.
#include <gtest/gtest.h>

#include "descriptors.hpp"
#include "devices.hpp"
#include "fake_sysfs.hpp"
#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/device/enumerators.hpp"
#include "line_transports.hpp"
#include "linux_raw.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle::helper {
namespace {

std::string request(std::string_view command, const std::filesystem::path& image, std::string_view sha256,
                    std::size_t size, const DeviceIdentity& target) {
  json::Writer identity;
  write_device_identity(identity, target);
  return R"({"v":1,"cmd":")" + std::string(command) + R"(","job":{"job_id":"leak","image_path":)" +
         json::quote(image.string()) + R"(,"expected_sha256":")" + std::string(sha256) + R"(","expected_size":)" +
         std::to_string(size) + R"(,"write_mode":"raw-dd-hybrid","target":)" + identity.text() +
         R"(,"confirmed_label":"Stick","dry_run":false}})";
}

TEST(DescriptorLeaks, ManyRequestsAcrossSuccessAndFailureKeepTheCount) {
  testing::TempDir dir;
  const std::string image(300000, 'i');
  const auto image_path = dir.write("image.iso", image);
  const std::string sha = checksum::sha256_hex(image);

  // A stick named both ways: the file sink ignores names, the Linux raw
  // backend writes {dir}/dev/sdb as described by a fake kernel tree.
  DeviceCandidate stick = testing::usb_stick("LEAK-1", "disk4", 1048576);
  stick.identity.linux_dev_name = "sdb";
  const MockEnumerator one_stick{{stick}};
  const MockEnumerator no_disks{{}};
  testing::FakeSysfs sys(dir.path());
  sys.disk("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", "8:16", 2048, true);
  std::filesystem::create_directory(dir.path() / "dev");
  testing::write_file(dir.path() / "dev" / "sdb", std::string(1048576, 'X'));
  const LinuxRawBackend raw({"LEAK-1", 1048576, true, true}, one_stick,
                            {"/nonexistent/diskutil", (dir.path() / "dev").string(), sys.paths()});
  // The same stick, as active swap.
  std::filesystem::create_directory(dir.path() / "swapped");
  testing::FakeSysfs swapped_sys(dir.path() / "swapped");
  swapped_sys.disk("pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", "8:16", 2048, true);
  swapped_sys.swaps({"/dev/sdb"});
  const LinuxRawBackend raw_swap({"LEAK-1", 1048576, true, true}, one_stick,
                                 {"/nonexistent/diskutil", (dir.path() / "dev").string(), swapped_sys.paths()});
  const MockFileBackend sink(dir.path() / "sink.img");
  const MockFileBackend full_sink("/dev/full");
  const MockFileBackend directory_sink(dir.path());

  struct Case {
    std::string_view what;
    std::string text;
    const DeviceSnapshot& disks;
    const WriteBackend& backend;
    bool ok;
  };
  const auto job = [&](std::string_view command, const std::filesystem::path& path, std::string_view digest) {
    return request(command, path, digest, image.size(), stick.identity);
  };
  const Case cases[] = {
      {"validate", job("validate", image_path, sha), one_stick, sink, true},
      {"sink write", job("write", image_path, sha), one_stick, sink, true},
      {"raw write", job("write", image_path, sha), one_stick, raw, true},
      {"wrong digest", job("write", image_path, std::string(64, '0')), one_stick, sink, false},
      {"wrong digest, raw", job("write", image_path, std::string(64, '0')), one_stick, raw, false},
      {"missing image", job("write", dir.path() / "missing.iso", sha), one_stick, raw, false},
      {"image is a directory", job("write", dir.path(), sha), one_stick, sink, false},
      {"full device", job("write", image_path, sha), one_stick, full_sink, false},
      {"sink is a directory", job("write", image_path, sha), one_stick, directory_sink, false},
      {"swap", job("write", image_path, sha), one_stick, raw_swap, false},
      {"gone", job("write", image_path, sha), no_disks, raw, false},
      {"not JSON", "{\"v\":1,", one_stick, sink, false},
      {"cancel", R"({"v":1,"cmd":"cancel"})", one_stick, sink, false},
  };
  const auto run_all = [&] {
    for (const auto& c : cases) {
      const std::string reply = handle_line(c.text, c.disks, c.backend);
      ASSERT_EQ(reply.starts_with(R"({"evt":"result","ok":true)"), c.ok) << c.what << ": " << reply;
    }
  };
  run_all();
  const std::size_t before = testing::open_descriptors();
  for (int round = 0; round < 50; ++round) run_all();
  EXPECT_EQ(testing::open_descriptors(), before);
}

}  // namespace
}  // namespace kelmar_vindle::helper
