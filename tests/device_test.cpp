#include "kelmar_vindle/device.hpp"

#include "kelmar_vindle/device/enumerators.hpp"

#include <gtest/gtest.h>

namespace kelmar_vindle {
namespace {

json::Value tree(std::string_view text) { return *json::parse(text, json::DuplicateMembers::LastWins); }

DeviceIdentity identity_with(std::string serial, std::optional<std::uint16_t> vid, std::optional<std::uint16_t> pid,
                             std::string vendor, std::string product, std::uint64_t size) {
  DeviceIdentity id;
  id.scheme = "vindle-1";
  id.serial = std::move(serial);
  id.vendor = std::move(vendor);
  id.product = std::move(product);
  id.vendor_id = vid;
  id.product_id = pid;
  id.size = size;
  id.bus = Bus::Sata;  // the prefix is "usb:" whatever the bus
  return id;
}

TEST(StableId, FirstApplicableRuleWins) {
  struct Case {
    DeviceIdentity identity;
    std::string_view id;
  };
  const Case cases[] = {
      {identity_with("AB 12/x", 0x0781, 0x5581, "V", "P", 1), "usb:serial:AB 12/x"},
      {identity_with("", 0x0781, 0x5581, "V", "P", 64000000), "usb:weak:0781:5581:64000000"},
      {identity_with("", 0x1, 0xFFFF, "", "", 7), "usb:weak:0001:ffff:7"},
      {identity_with("", 0x0781, std::nullopt, "Generic", "Flash Disk", 0), "usb:anon:Generic:Flash_Disk:0"},
      {identity_with("", std::nullopt, 0x5581, "", "", 0), "usb:anon:::0"},
      {identity_with("", std::nullopt, std::nullopt,
                     "\xC3\x9C"
                     "ber-Disk 3.0",
                     "a\xF0\x9F\x98\x80z", 9),
       "usb:anon:_ber_Disk_3_0:a_z:9"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.identity.stable_id(), c.id);
}

TEST(ProtocolToBus, FoldsAsciiCaseAndTrimsNothing) {
  struct Case {
    std::string_view protocol;
    Bus bus;
  };
  const Case cases[] = {{"USB", Bus::Usb},         {"usb", Bus::Usb},          {"SATA", Bus::Sata},
                        {"Serial-ATA", Bus::Sata}, {"Serial ATA", Bus::Other}, {"NVMe", Bus::Nvme},
                        {"PCIe", Bus::Nvme},       {"PCI-Express", Bus::Nvme}, {"Thunderbolt", Bus::Thunderbolt},
                        {"", Bus::Other},          {" usb", Bus::Other},       {"usb ", Bus::Other}};
  for (const auto& c : cases) EXPECT_EQ(protocol_to_bus(c.protocol), c.bus) << c.protocol;
}

TEST(BusJson, ExactLowerCaseNamesOrObjectForm) {
  EXPECT_EQ(read_bus(tree("\"usb\"")).value(), Bus::Usb);
  EXPECT_EQ(read_bus(tree("\"other\"")).value(), Bus::Other);
  EXPECT_EQ(read_bus(tree(R"({"thunderbolt":null})")).value(), Bus::Thunderbolt);
  EXPECT_EQ(read_bus(tree("\"USB\"")).error(),
            "unknown variant `USB`, expected one of `usb`, `sata`, `nvme`, `thunderbolt`, `other`");
}

constexpr std::string_view kMinimalIdentity =
    R"({"scheme":"vindle-1","serial":"S1","vendor":"V","product":"P","size":5,"bus":"usb","is_system":false})";

TEST(IdentityJson, OptionalMembersReadAsNoneAndWriteAsNull) {
  auto id = read_device_identity(tree(kMinimalIdentity));
  ASSERT_TRUE(id) << id.error();
  EXPECT_EQ(id->vendor_id, std::nullopt);
  EXPECT_EQ(id->product_id, std::nullopt);
  EXPECT_EQ(id->win_disk_number, std::nullopt);
  EXPECT_EQ(id->mac_bsd_name, std::nullopt);

  json::Writer w;
  write_device_identity(w, *id);
  EXPECT_EQ(w.text(),
            R"({"scheme":"vindle-1","serial":"S1","vendor":"V","product":"P","vendor_id":null,"product_id":null,)"
            R"("size":5,"bus":"usb","is_system":false,"win_disk_number":null,"mac_bsd_name":null})");
}

TEST(IdentityJson, FullRoundTripInAnyOrderWithUnknownMembers) {
  const auto text =
      R"({"mac_bsd_name":"disk4","extra":[1,{"x":2}],"win_disk_number":3,"is_system":true,"bus":{"nvme":null},)"
      R"("size":18446744073709551615,"product_id":65535,"vendor_id":0,"product":"Pr\"o","vendor":"","serial":"","scheme":"s"})";
  auto id = read_device_identity(tree(text));
  ASSERT_TRUE(id) << id.error();
  json::Writer w;
  write_device_identity(w, *id);
  EXPECT_EQ(w.text(),
            R"({"scheme":"s","serial":"","vendor":"","product":"Pr\"o","vendor_id":0,"product_id":65535,)"
            R"("size":18446744073709551615,"bus":"nvme","is_system":true,"win_disk_number":3,"mac_bsd_name":"disk4"})");
  // The written form reads back to the same value.
  EXPECT_EQ(read_device_identity(tree(w.text())).value(), *id);
}

TEST(IdentityJson, PositionalFormInDeclarationOrder) {
  auto id = read_device_identity(tree(R"(["s","SER","V","P",null,2,10,"usb",false,null,"disk2"])"));
  ASSERT_TRUE(id) << id.error();
  EXPECT_EQ(id->serial, "SER");
  EXPECT_EQ(id->product_id, 2);
  EXPECT_EQ(id->mac_bsd_name, "disk2");
  EXPECT_EQ(read_device_identity(tree(R"(["s","SER"])")).error(),
            "invalid length 2, expected struct DeviceIdentity with 11 elements");
}

TEST(IdentityJson, LinuxDeviceNameIsWrittenOnlyWhenPresent) {
  auto id = read_device_identity(
      tree(R"({"scheme":"s","serial":"S","vendor":"V","product":"P","size":5,"bus":"usb","is_system":false,)"
           R"("linux_dev_name":"sdb"})"));
  ASSERT_TRUE(id) << id.error();
  EXPECT_EQ(id->linux_dev_name, "sdb");
  json::Writer w;
  write_device_identity(w, *id);
  EXPECT_EQ(w.text(),
            R"({"scheme":"s","serial":"S","vendor":"V","product":"P","vendor_id":null,"product_id":null,"size":5,)"
            R"("bus":"usb","is_system":false,"win_disk_number":null,"mac_bsd_name":null,"linux_dev_name":"sdb"})");
  EXPECT_EQ(read_device_identity(tree(w.text())).value(), *id);

  // null reads as none, and none is not written at all.
  id = read_device_identity(tree(R"(["s","S","V","P",null,null,5,"usb",false,null,"disk2",null])"));
  ASSERT_TRUE(id) << id.error();
  EXPECT_EQ(id->linux_dev_name, std::nullopt);
  json::Writer none;
  write_device_identity(none, *id);
  EXPECT_FALSE(none.text().contains("linux_dev_name"));

  EXPECT_EQ(
      read_device_identity(tree(R"(["s","S","V","P",null,null,5,"usb",false,null,null,"sdc"])")).value().linux_dev_name,
      "sdc");
  EXPECT_EQ(read_device_identity(tree(R"(["s","S","V","P",null,null,5,"usb",false,null,null,"sdc",1])")).error(),
            "invalid length 13, expected fewer elements in array");
}

TEST(IdentityJson, FaultsNameTheField) {
  struct Case {
    std::string text;
    std::string_view message;
  };
  const auto without = [](std::string_view member) {
    // Every member of the minimal identity is followed by a comma but the last.
    std::string text(kMinimalIdentity);
    const auto at = text.find("\"" + std::string(member) + "\":");
    const auto end = text.find_first_of(",}", at);
    text.erase(at, end - at + 1);
    if (text.back() != '}') text += '}';
    if (text[text.size() - 2] == ',') text.erase(text.size() - 2, 1);
    return text;
  };
  const auto with = [](std::string_view extra) {
    std::string text(kMinimalIdentity);
    text.insert(text.size() - 1, "," + std::string(extra));
    return text;
  };
  const Case cases[] = {
      {without("serial"), "missing field `serial`"},
      {without("scheme"), "missing field `scheme`"},
      {without("is_system"), "missing field `is_system`"},
      {R"({})", "missing field `scheme`"},
      {with(R"("vendor_id":70000)"), "invalid value: integer `70000`, expected u16"},
      {with(R"("vendor_id":"0781")"), "invalid type: string \"0781\", expected u16"},
      {with(R"("win_disk_number":-1)"), "invalid value: integer `-1`, expected u32"},
      {R"({"bus":"USB"})", "unknown variant `USB`, expected one of `usb`, `sata`, `nvme`, `thunderbolt`, `other`"},
      {R"({"size":null})", "invalid type: null, expected u64"},
      {R"("disk")", "invalid type: string \"disk\", expected struct DeviceIdentity"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_device_identity(tree(c.text)).error(), c.message) << c.text;
}

std::string candidate_text(std::string_view serial_members = R"("serial":"S1")") {
  return R"({"id":"usb:serial:S1","vendor":"V","product":"P",)" + std::string(serial_members) +
         R"(,"size":5,"bus":"usb","is_system":false,"is_usb":true,"identity":)" + std::string(kMinimalIdentity) + "}";
}

TEST(CandidateJson, WritesNineMembersWithNestedIdentity) {
  auto candidate = read_device_candidate(tree(candidate_text()));
  ASSERT_TRUE(candidate) << candidate.error();
  json::Writer w;
  write_device_candidate(w, *candidate);
  EXPECT_EQ(w.text(), R"({"id":"usb:serial:S1","vendor":"V","product":"P","serial":"S1","size":5,"bus":"usb",)"
                      R"("is_system":false,"is_usb":true,"identity":{"scheme":"vindle-1","serial":"S1","vendor":"V",)"
                      R"("product":"P","vendor_id":null,"product_id":null,"size":5,"bus":"usb","is_system":false,)"
                      R"("win_disk_number":null,"mac_bsd_name":null}})");
}

TEST(MockDeviceList, ReadsStraightFromTextInFileOrder) {
  const std::string two = "[" + candidate_text() + ",\n" + candidate_text(R"("serial":"S2","note":1)") + "]\n";
  auto list = read_mock_device_list(two);
  ASSERT_TRUE(list) << list.error();
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].serial, "S1");
  EXPECT_EQ((*list)[1].serial, "S2");

  EXPECT_EQ(read_mock_device_list(" [] ").value().size(), 0u);
}

TEST(MockDeviceList, RefusesFaultsWithTheLibraryMessage) {
  struct Case {
    std::string text;
    std::string message;
  };
  std::string missing_is_usb = candidate_text();
  missing_is_usb.erase(missing_is_usb.find(R"("is_usb":true,)"), 14);
  std::string duplicate_in_identity = candidate_text();
  duplicate_in_identity.insert(duplicate_in_identity.find(R"("serial":"S1","vendor")"), R"("serial":"S0",)");
  const Case cases[] = {
      {"[" + candidate_text() + "],",
       "trailing characters at line 1 column " + std::to_string(candidate_text().size() + 3)},
      {"[" + candidate_text() + "]" + '\0',
       "trailing characters at line 1 column " + std::to_string(candidate_text().size() + 3)},
      {"\xEF\xBB\xBF[]", "expected value at line 1 column 1"},
      {"[" + missing_is_usb + "]", "missing field `is_usb`"},
      {"[" + candidate_text(R"("serial":"S1","serial":"S1")") + "]", "duplicate field `serial`"},
      {"[" + duplicate_in_identity + "]", "duplicate field `serial`"},
      {R"({"id":"x"})", "invalid type: map, expected a sequence"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {std::string(1'000'000, '['), "recursion limit exceeded"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_mock_device_list(c.text).error(), c.message) << c.text.substr(0, 80);

  // A repeated member that no field claims is ignored, like any unknown member.
  EXPECT_TRUE(read_mock_device_list("[" + candidate_text(R"("serial":"S1","x":1,"x":2)") + "]").has_value());
}

TEST(Enumerators, MockHandsOutFreshCopiesAndThePlatformListsThisMachine) {
  const MockEnumerator mock(read_mock_device_list("[" + candidate_text() + "]").value());
  const DeviceSnapshot& snapshot = mock;
  auto first = snapshot.list().value();
  first[0].serial = "changed";
  const auto second = mock.list().value();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].serial, "S1");

  // On Linux the platform list is this machine's own (read from sysfs).
  const PlatformEnumerator platform;
  const auto live = platform.list();
  EXPECT_TRUE(live) << live.error().text();
}

}  // namespace
}  // namespace kelmar_vindle
