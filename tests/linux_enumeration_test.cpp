#include <gtest/gtest.h>

#include <algorithm>

#include "fake_sysfs.hpp"
#include "kelmar_vindle/device/linux.hpp"
#include "printers.hpp"
#include "temp_dir.hpp"

namespace kelmar_vindle {
namespace {

using testing::FakeSysfs;
namespace linux_disks = device::linux;

constexpr std::string_view kUsbPort = "pci0000:00/0000:00:14.0/usb2/2-1";
constexpr std::string_view kUsbScsi = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
constexpr std::string_view kSataScsi = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";

class LinuxDiskList : public ::testing::Test {
 protected:
  testing::TempDir dir;
  FakeSysfs sys{dir.path()};

  std::vector<DeviceCandidate> list() {
    auto disks = linux_disks::list_read_only(sys.paths());
    EXPECT_TRUE(disks) << disks.error().text();
    return disks.value_or(std::vector<DeviceCandidate>{});
  }
  static const DeviceCandidate& find(const std::vector<DeviceCandidate>& disks, std::string_view name) {
    const auto it = std::find_if(disks.begin(), disks.end(),
                                 [&](const DeviceCandidate& c) { return c.identity.linux_dev_name == name; });
    EXPECT_NE(it, disks.end()) << name;
    return *it;
  }
};

TEST_F(LinuxDiskList, FillsAUsbStickFromItsUsbDeviceAndScsiAttributes) {
  sys.device(kUsbPort, {{"idVendor", "0781"}, {"idProduct", "5581"}, {"serial", "4C530001 "}});
  sys.disk(kUsbScsi, "sdb", "8:16", 120127488, true, {{"vendor", "SanDisk "}, {"model", "Ultra           "}});
  sys.partition("sdb", "sdb1", "8:17");

  const auto disks = list();
  ASSERT_EQ(disks.size(), 1u);
  const DeviceCandidate& stick = disks[0];
  const DeviceIdentity expected{"vindle-1",  "4C530001 ", "SanDisk ", "Ultra           ", 0x0781,       0x5581,
                                61505273856, Bus::Usb,    false,      std::nullopt,       std::nullopt, "sdb"};
  EXPECT_EQ(stick.identity, expected);
  EXPECT_EQ(stick.id, "usb:serial:4C530001 ");
  EXPECT_EQ(stick.serial, expected.serial);
  EXPECT_EQ(stick.vendor, expected.vendor);
  EXPECT_EQ(stick.product, expected.product);
  EXPECT_EQ(stick.size, expected.size);
  EXPECT_EQ(stick.bus, Bus::Usb);
  EXPECT_TRUE(stick.is_usb);
  EXPECT_FALSE(stick.is_system);
}

TEST_F(LinuxDiskList, ListsRealDisksByNameAndLeavesOutVirtualOpticalAndEmptyOnes) {
  sys.disk(kSataScsi, "sda", "8:0", 1000215216, false, {{"vendor", "ATA     "}, {"model", "Samsung SSD"}});
  sys.disk("pci0000:00/0000:00:1d.0/nvme/nvme0", "nvme0n1", "259:0", 2000409264, false, {{"model", "Fast NVMe"}});
  sys.disk("pci0000:00/0000:00:05.0/virtio2", "vda", "254:0", 2048, false);
  sys.disk("pci0000:00/0000:00:1c.0/mmc0/mmc0:0001", "mmcblk0", "179:0", 4096, true);
  sys.disk("virtual", "loop0", "7:0", 4096, false);
  sys.disk("virtual", "zram0", "252:0", 4096, false);
  sys.disk("pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0", "sr0", "11:0", 4096, true, {{"type", "5"}});
  sys.disk("pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0", "sdz", "65:144", 4096, true, {{"type", "5"}});
  // A card reader without a card: size 0.
  sys.device("pci0000:00/0000:00:14.0/usb2/2-2", {{"idVendor", "05e3"}, {"idProduct", "0747"}});
  sys.disk("pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0", "sdc", "8:32", 0, true);

  const auto disks = list();
  std::vector<std::string> names;
  for (const auto& disk : disks) names.push_back(*disk.identity.linux_dev_name);
  EXPECT_EQ(names, (std::vector<std::string>{"mmcblk0", "nvme0n1", "sda", "vda"}));

  const auto& sata = find(disks, "sda");
  EXPECT_EQ(sata.bus, Bus::Sata);
  EXPECT_TRUE(sata.is_system) << "internal: neither USB nor removable";
  EXPECT_EQ(sata.identity.serial, "");
  EXPECT_EQ(sata.identity.vendor_id, std::nullopt);
  EXPECT_EQ(sata.id, "usb:anon:ATA_____:Samsung_SSD:512110190592");
  EXPECT_EQ(find(disks, "nvme0n1").bus, Bus::Nvme);
  EXPECT_EQ(find(disks, "nvme0n1").product, "Fast NVMe");
  EXPECT_EQ(find(disks, "vda").bus, Bus::Other);
  EXPECT_TRUE(find(disks, "vda").is_system);
  // Removable but not on USB: listed as it is, revalidation refuses it.
  EXPECT_EQ(find(disks, "mmcblk0").bus, Bus::Other);
  EXPECT_FALSE(find(disks, "mmcblk0").is_system);
  EXPECT_FALSE(find(disks, "mmcblk0").is_usb);
}

TEST_F(LinuxDiskList, UsbDiskHoldingTheRootFileSystemIsTheSystemDisk) {
  struct Case {
    std::string_view what;
    std::string_view mount;
    bool system;
  };
  const Case cases[] = {
      {"by device number of a partition", "8:18 / /dev/root", true},
      {"by source name of a partition", "0:31 / /dev/sdb2", true},
      {"through device-mapper", "254:0 / /dev/mapper/vg-root", true},
      {"whole disk as root", "8:16 / /dev/sdb", true},
      {"root elsewhere, stick mounted", "8:1 / /dev/sda1", false},
  };
  sys.device(kUsbPort, {{"idVendor", "0781"}, {"idProduct", "5581"}, {"serial", "S1"}});
  sys.disk(kUsbScsi, "sdb", "8:16", 2048, true);
  sys.partition("sdb", "sdb1", "8:17");
  sys.partition("sdb", "sdb2", "8:18");
  sys.disk("virtual", "dm-0", "254:0", 2048, false);
  std::filesystem::create_directories(dir.path() / "sys/block/dm-0/slaves/sdb2");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sys.mounts({c.mount, "8:17 /media/stick /dev/sdb1"});
    const auto disks = list();
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].is_system, c.system);
    EXPECT_EQ(disks[0].identity.is_system, c.system);
    EXPECT_TRUE(disks[0].is_usb);
  }
}

TEST_F(LinuxDiskList, UsbIdsWithoutSerialGiveTheWeakId) {
  sys.device(kUsbPort, {{"idVendor", "abcd"}, {"idProduct", "0001"}});
  sys.disk(kUsbScsi, "sdb", "8:16", 8, true);
  const auto disks = list();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(disks[0].id, "usb:weak:abcd:0001:4096");
}

TEST_F(LinuxDiskList, FailsWholeWhenTheBlockDirectoryOrMountTableCannotBeRead) {
  auto paths = sys.paths();
  paths.mount_table = dir.path() / "missing";
  EXPECT_EQ(linux_disks::list_read_only(paths).error().text(),
            "I/O error: read " + paths.mount_table.string() + ": No such file or directory (os error 2)");
  paths = sys.paths();
  paths.sysfs = dir.path() / "nosys";
  EXPECT_EQ(linux_disks::list_read_only(paths).error().text(),
            "I/O error: read " + (paths.sysfs / "block").string() + ": No such file or directory (os error 2)");
}

TEST_F(LinuxDiskList, MountTable) {
  testing::write_file(dir.path() / "mountinfo",
                      "36 35 8:17 / /media/my\\040stick rw,nosuid shared:7 master:1 - vfat /dev/sdb1 rw\n"
                      "37 35 0:40 / /proc rw - proc proc rw\n");
  const auto mounts = linux_disks::read_mount_table(dir.path() / "mountinfo");
  ASSERT_TRUE(mounts) << mounts.error().text();
  ASSERT_EQ(mounts->size(), 2u);
  EXPECT_EQ((*mounts)[0].device_number, "8:17");
  EXPECT_EQ((*mounts)[0].mount_point, "/media/my stick");
  EXPECT_EQ((*mounts)[0].source, "/dev/sdb1");
  EXPECT_EQ((*mounts)[1].mount_point, "/proc");
}

}  // namespace
}  // namespace kelmar_vindle
