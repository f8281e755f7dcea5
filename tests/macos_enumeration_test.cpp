// The macOS disk list against the simulated IOKit registry and
// DiskArbitration; after every test the ledger shows no live object.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "kelmar_vindle/device/macos.hpp"
#include "platform_sim/control.hpp"

namespace kelmar_vindle {
namespace {

using platform_sim::EntryId;
using platform_sim::Properties;
using platform_sim::Url;
using platform_sim::Value;

Value n(std::int64_t number) { return number; }

class MacosDiskList : public ::testing::Test {
 protected:
  void SetUp() override { platform_sim::reset(); }
  void TearDown() override {
    platform_sim::reset();
    EXPECT_EQ(platform_sim::live_objects(), 0u) << "every object the code created or copied is released";
  }

  // A USB device carrying the identity, with a whole-disk media object under it.
  EntryId add_stick(const std::string& bsd_name, Properties media = {}, Properties device = {}) {
    device.merge(Properties{{"USB Serial Number", "SER-1"}, {"idVendor", n(0x1234)}, {"idProduct", n(0x5678)}});
    const EntryId usb = platform_sim::add_usb_device(device);
    const EntryId interface = platform_sim::add_entry({}, usb);
    media.merge(Properties{{"BSD Name", bsd_name}, {"Size", n(64'000'000)}});
    return platform_sim::add_media(media, interface);
  }

  static Properties usb_description(Properties extra = {}) {
    extra.merge(Properties{{"DADeviceVendor", "Acme "},
                           {"DADeviceModel", "Stick 32"},
                           {"DADeviceProtocol", "USB"},
                           {"DADeviceInternal", false},
                           {"DAMediaSize", n(64'000'000)}});
    return extra;
  }

  static std::vector<DeviceCandidate> list() {
    auto disks = device::macos::list_read_only();
    EXPECT_TRUE(disks.has_value()) << disks.error().text();
    return disks ? *disks : std::vector<DeviceCandidate>{};
  }
};

TEST_F(MacosDiskList, UsbStickIsListedFromRegistryAndDescription) {
  add_stick("disk4");
  platform_sim::set_description("disk4", usb_description());
  const auto disks = list();
  ASSERT_EQ(disks.size(), 1u);
  const DeviceCandidate& stick = disks[0];
  EXPECT_EQ(stick.id, "usb:serial:SER-1");
  EXPECT_EQ(stick.vendor, "Acme ") << "platform strings are taken as they are";
  EXPECT_EQ(stick.product, "Stick 32");
  EXPECT_EQ(stick.serial, "SER-1");
  EXPECT_EQ(stick.size, 64'000'000u);
  EXPECT_EQ(stick.bus, Bus::Usb);
  EXPECT_FALSE(stick.is_system);
  EXPECT_TRUE(stick.is_usb);
  const DeviceIdentity expected{"vindle-1", "SER-1",  "Acme ", "Stick 32",   0x1234,  0x5678,
                                64'000'000, Bus::Usb, false,   std::nullopt, "disk4", std::nullopt};
  EXPECT_EQ(stick.identity, expected);
}

TEST_F(MacosDiskList, KeepsRegistryOrderAndListsEveryKindOfDisk) {
  platform_sim::add_media({{"BSD Name", "disk0"}, {"Size", n(500'000'000'000)}});
  platform_sim::set_description("disk0", {{"DADeviceProtocol", "PCI-Express"}, {"DADeviceInternal", true}});
  add_stick("disk4");
  platform_sim::set_description("disk4", usb_description({{"DADeviceProtocol", "usb"}}));
  platform_sim::add_media({{"BSD Name", "disk4s1"}, {"Size", n(1000)}}, std::nullopt, /*whole=*/false);
  const auto disks = list();
  ASSERT_EQ(disks.size(), 2u) << "partitions are not whole disks";
  EXPECT_EQ(disks[0].identity.mac_bsd_name, "disk0");
  EXPECT_EQ(disks[0].bus, Bus::Nvme);
  EXPECT_TRUE(disks[0].is_system);
  EXPECT_EQ(disks[0].id, "usb:anon:::500000000000");
  EXPECT_EQ(disks[1].identity.mac_bsd_name, "disk4");
  EXPECT_EQ(disks[1].bus, Bus::Usb);
}

TEST_F(MacosDiskList, ObjectsWithoutAUsableNameOrSizeAreLeftOut) {
  platform_sim::add_media({{"Size", n(1000)}});
  platform_sim::add_media({{"BSD Name", ""}, {"Size", n(1000)}});
  platform_sim::add_media({{"BSD Name", "disk/5"}, {"Size", n(1000)}});
  platform_sim::add_media({{"BSD Name", std::string("disk6\0x", 7)}, {"Size", n(1000)}});
  platform_sim::add_media({{"BSD Name", n(7)}, {"Size", n(1000)}});  // not a string
  platform_sim::add_media({{"BSD Name", "disk8"}, {"Size", n(0)}});
  platform_sim::add_media({{"BSD Name", "disk9"}, {"Size", platform_sim::UnconvertibleNumber{}}});
  platform_sim::add_media({{"BSD Name", "disk10"}, {"Size", n(1000)}});
  platform_sim::set_description("disk10", {{"DAMediaSize", n(0)}});  // the description's size wins, even 0
  EXPECT_TRUE(list().empty());
}

TEST_F(MacosDiskList, SizeFromTheDescriptionWinsOverTheRegistry) {
  platform_sim::add_media({{"BSD Name", "disk2"}, {"Size", n(1000)}});
  platform_sim::set_description("disk2", {{"DAMediaSize", n(2000)}});
  platform_sim::add_media({{"BSD Name", "disk3"}, {"Size", n(3000)}});
  platform_sim::set_description("disk3", {{"DAMediaSize", platform_sim::UnconvertibleNumber{}}});
  platform_sim::add_media({{"BSD Name", "disk4"}, {"Size", n(4000)}});
  platform_sim::set_description("disk4", {});
  const auto disks = list();
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(disks[0].size, 2000u);
  EXPECT_EQ(disks[1].size, 3000u) << "an unreadable description size leaves the registry's";
  EXPECT_EQ(disks[2].size, 4000u);
}

TEST_F(MacosDiskList, DiskWithoutDescriptionKeepsItsRegistryIdentity) {
  add_stick("disk4");
  add_stick("disk5");
  platform_sim::set_description("disk4", usb_description());
  platform_sim::set_description("disk5", usb_description());
  platform_sim::set_failures({.disk_objects = {"disk4"}, .descriptions = {"disk5"}});
  const auto disks = list();
  ASSERT_EQ(disks.size(), 2u);
  for (const auto& disk : disks) {
    EXPECT_EQ(disk.serial, "SER-1");
    EXPECT_EQ(disk.identity.vendor_id, 0x1234);
    EXPECT_EQ(disk.vendor, "");
    EXPECT_EQ(disk.product, "");
    EXPECT_EQ(disk.bus, Bus::Other);
    EXPECT_FALSE(disk.is_system);
    EXPECT_FALSE(disk.is_usb);
    EXPECT_EQ(disk.size, 64'000'000u);
  }
}

TEST_F(MacosDiskList, UsbIdentityComesFromTheNearestUsbDeviceOnly) {
  // A stick without a serial of its own, plugged into a hub that has one.
  const EntryId hub = platform_sim::add_usb_device({{"idVendor", n(0x1111)}, {"USB Serial Number", "HUB"}});
  const EntryId port = platform_sim::add_entry({{"USB Serial Number", "PORT"}}, hub);
  const EntryId device = platform_sim::add_usb_device({{"idVendor", n(0x12345)}, {"idProduct", n(0x0042)}}, port);
  const EntryId interface = platform_sim::add_entry({}, device);
  platform_sim::add_media({{"BSD Name", "disk4"}, {"Size", n(1000)}}, interface);
  platform_sim::add_media({{"BSD Name", "disk5"}, {"Size", n(1000)}});  // no ancestor at all
  platform_sim::set_description("disk5", {{"DADeviceVendor", "Generic  "}, {"DADeviceModel", "Flash Disk"}});
  const EntryId odd = platform_sim::add_usb_device(
      {{"idVendor", platform_sim::UnconvertibleNumber{}}, {"idProduct", "0042"}, {"USB Serial Number", n(5)}});
  platform_sim::add_media({{"BSD Name", "disk6"}, {"Size", n(1000)}}, odd);
  const auto disks = list();
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(disks[0].serial, "") << "the stick has no serial; its hub's is not its own";
  EXPECT_EQ(disks[0].id, "usb:weak:2345:0042:1000");
  EXPECT_EQ(disks[0].identity.vendor_id, 0x2345) << "the stick's own value, low 16 bits";
  EXPECT_EQ(disks[0].identity.product_id, 0x0042);
  EXPECT_EQ(disks[1].serial, "");
  EXPECT_EQ(disks[1].identity.vendor_id, std::nullopt);
  EXPECT_EQ(disks[1].id, "usb:anon:Generic__:Flash_Disk:1000") << "trailing spaces are kept, then sanitized";
  EXPECT_EQ(disks[2].serial, "") << "values of the wrong type count as missing";
  EXPECT_EQ(disks[2].identity.vendor_id, std::nullopt);
  EXPECT_EQ(disks[2].identity.product_id, std::nullopt);
}

TEST_F(MacosDiskList, SystemFlagFromInternalOrTheSystemVolume) {
  struct Case {
    Properties description;
    bool system;
  };
  const Case cases[] = {
      {{{"DADeviceInternal", true}}, true},
      {{{"DADeviceInternal", "true"}}, false},  // only the true value counts
      {{{"DAVolumePath", "/"}}, true},
      {{{"DAVolumePath", "file:"}}, true},
      {{{"DAVolumePath", "file:///"}}, true},
      {{{"DAVolumePath", Url{"/"}}}, true},
      {{{"DAVolumePath", Url{std::nullopt}}}, false},
      {{{"DAVolumePath", "/Volumes/STICK"}}, false},
      {{{"DAVolumePath", Url{"/Volumes/STICK"}}}, false},
      {{{"DAVolumePath", n(1)}}, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string name = "disk" + std::to_string(i + 2);
    add_stick(name);
    platform_sim::set_description(name, usb_description(cases[i].description));
  }
  const auto disks = list();
  ASSERT_EQ(disks.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(disks[i].is_system, cases[i].system) << i;
    EXPECT_EQ(disks[i].identity.is_system, cases[i].system) << i;
  }
}

// A whole disk carrying an APFS container: the partition holding the
// container's physical store, the container, the whole disk it synthesizes
// and that disk's volumes, mounted where `mounts` says.
struct ApfsDisk {
  EntryId whole;
  EntryId synthesized;
};
ApfsDisk add_apfs_layout(EntryId whole, const std::string& name, const std::string& synthesized_name,
                         const std::map<std::string, std::string>& mounts) {
  const auto volume_description = [&](const std::string& volume) {
    Properties description{{"DAMediaSize", n(1'000'000)}, {"DADeviceProtocol", "USB"}};
    if (const auto mount = mounts.find(volume); mount != mounts.end()) description["DAVolumePath"] = Url{mount->second};
    return description;
  };
  platform_sim::add_media({{"BSD Name", name + "s1"}, {"Size", n(200'000)}}, whole, /*whole=*/false);
  const EntryId store = platform_sim::add_media({{"BSD Name", name + "s2"}, {"Size", n(1'000'000)}}, whole, false);
  const EntryId container = platform_sim::add_entry({}, store, "AppleAPFSContainer");
  const EntryId synthesized =
      platform_sim::add_media({{"BSD Name", synthesized_name}, {"Size", n(1'000'000)}}, container);
  platform_sim::set_description(synthesized_name, volume_description(synthesized_name));
  for (const auto& volume : {synthesized_name + "s1", synthesized_name + "s5"}) {
    const EntryId media = platform_sim::add_media({{"BSD Name", volume}, {"Size", n(500'000)}}, synthesized, false);
    platform_sim::set_description(volume, volume_description(volume));
    const std::string snapshot = volume + "s1";
    platform_sim::add_media({{"BSD Name", snapshot}, {"Size", n(500'000)}}, media, false);
    platform_sim::set_description(snapshot, volume_description(snapshot));
  }
  return {whole, synthesized};
}

// A Mac started from an external USB disk: that disk holds the mounted
// system volume only through its APFS container, yet it is the system disk.
TEST_F(MacosDiskList, ADiskHoldingAMountedSystemVolumeIsTheSystemDisk) {
  struct Case {
    std::string what;
    std::map<std::string, std::string> mounts;
    bool system;
  };
  const Case cases[] = {
      {"the system's snapshot at /", {{"disk3s1s1", "/"}, {"disk3s5", "/System/Volumes/Data"}}, true},
      {"only the data volume", {{"disk3s5", "/System/Volumes/Data"}}, true},
      {"an ordinary volume", {{"disk3s1", "/Volumes/Install"}}, false},
      {"nothing mounted", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform_sim::reset();
    const EntryId boot = add_stick("disk2", {}, {{"USB Serial Number", "BOOT-SSD"}});
    platform_sim::set_description("disk2", usb_description());
    add_apfs_layout(boot, "disk2", "disk3", c.mounts);
    add_stick("disk4");
    platform_sim::set_description("disk4", usb_description());
    const auto disks = list();
    const auto named = [&](std::string_view name) {
      return std::find_if(disks.begin(), disks.end(),
                          [&](const DeviceCandidate& disk) { return disk.identity.mac_bsd_name == name; });
    };
    const auto boot_disk = named("disk2");
    ASSERT_NE(boot_disk, disks.end());
    EXPECT_EQ(boot_disk->is_system, c.system);
    EXPECT_EQ(boot_disk->identity.is_system, c.system);
    const auto stick = named("disk4");
    ASSERT_NE(stick, disks.end());
    EXPECT_FALSE(stick->is_system);
  }
}

// An APFS-formatted stick is one disk: the whole disk its container
// synthesizes is left out, so its identity names the stick at offset 0.
TEST_F(MacosDiskList, AnApfsStickIsListedOnceAsItsPhysicalDisk) {
  const EntryId stick = add_stick("disk4");
  platform_sim::set_description("disk4", usb_description());
  add_apfs_layout(stick, "disk4", "disk5", {{"disk5s1", "/Volumes/STICK"}});
  const auto disks = list();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(disks[0].identity.mac_bsd_name, "disk4");
  EXPECT_EQ(disks[0].id, "usb:serial:SER-1");
  EXPECT_FALSE(disks[0].is_system);
}

TEST_F(MacosDiskList, WrongTypedDescriptionStringsCountAsMissing) {
  add_stick("disk4");
  platform_sim::set_description(
      "disk4", usb_description({{"DADeviceVendor", n(1)}, {"DADeviceModel", true}, {"DADeviceProtocol", n(2)}}));
  const auto disks = list();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(disks[0].vendor, "");
  EXPECT_EQ(disks[0].product, "");
  EXPECT_EQ(disks[0].bus, Bus::Other);
}

TEST_F(MacosDiskList, WholeCallFailures) {
  add_stick("disk4");
  struct Case {
    platform_sim::Failures failures;
    std::string text;
  };
  const Case cases[] = {
      {{.matching_dictionary = true}, "I/O error: IOServiceMatching IOMedia failed"},
      {{.matching_services = -536870212}, "I/O error: IOServiceGetMatchingServices -536870212"},
      {{.session = true}, "I/O error: DASessionCreate failed"},
  };
  for (const auto& c : cases) {
    platform_sim::set_failures(c.failures);
    const auto disks = device::macos::list_read_only();
    ASSERT_FALSE(disks.has_value());
    EXPECT_EQ(disks.error().text(), c.text);
    EXPECT_EQ(platform_sim::live_objects(), 0u) << c.text;
  }
}

TEST_F(MacosDiskList, NoDisksIsAnEmptyList) { EXPECT_TRUE(list().empty()); }

}  // namespace
}  // namespace kelmar_vindle
