// What the terminal front end asks of the core: whether a disk may be
// written, finding a disk by name, the request it sends, the events it reads
// back and the digest it takes from a checksum list.
#include <gtest/gtest.h>

#include <functional>

#include "devices.hpp"
#include "kelmar_vindle/checksum/sums_file.hpp"
#include "kelmar_vindle/device/eligibility.hpp"
#include "kelmar_vindle/device/lookup.hpp"
#include "kelmar_vindle/protocol.hpp"

namespace kelmar_vindle {
namespace {

DeviceCandidate changed(DeviceCandidate c, const std::function<void(DeviceCandidate&)>& change) {
  change(c);
  return c;
}

TEST(WriteRefusal, JudgesTheCandidateAloneInOrder) {
  const DeviceCandidate stick = testing::usb_stick("SER1");
  struct Case {
    std::string_view what;
    DeviceCandidate disk;
    std::optional<ErrorKind> refusal;
  };
  const Case cases[] = {
      {"eligible stick", stick, std::nullopt},
      {"system flag", changed(stick, [](auto& c) { c.is_system = true; }), ErrorKind::RejectedSystem},
      {"identity says system", changed(stick, [](auto& c) { c.identity.is_system = true; }), ErrorKind::RejectedSystem},
      {"system comes before the bus",
       changed(stick, [](auto& c) { c.is_system = true, c.is_usb = false, c.bus = Bus::Nvme; }),
       ErrorKind::RejectedSystem},
      {"not flagged usb", changed(stick, [](auto& c) { c.is_usb = false; }), ErrorKind::RejectedNotUsb},
      {"on sata", changed(stick, [](auto& c) { c.bus = Bus::Sata; }), ErrorKind::RejectedNotUsb},
      {"identity on thunderbolt", changed(stick, [](auto& c) { c.identity.bus = Bus::Thunderbolt; }),
       ErrorKind::RejectedNotUsb},
      {"the bus comes before the serial", changed(stick, [](auto& c) { c.bus = Bus::Other, c.identity.serial = ""; }),
       ErrorKind::RejectedNotUsb},
      {"no serial", testing::usb_stick(""), ErrorKind::DeviceIdentityMismatch},
      {"serial only at the top", changed(stick, [](auto& c) { c.identity.serial = ""; }),
       ErrorKind::DeviceIdentityMismatch},
      {"size 0", changed(stick, [](auto& c) { c.identity.size = 0; }), ErrorKind::DeviceIdentityMismatch},
  };
  for (const auto& c : cases) {
    const auto refusal = write_refusal(c.disk);
    EXPECT_EQ(refusal ? std::optional(refusal->kind()) : std::nullopt, c.refusal) << c.what;
  }
}

TEST(FindDisk, ByKernelNameBsdNameOrId) {
  const DeviceCandidate mac = testing::usb_stick("A", "disk4");
  const DeviceCandidate linux_disk =
      changed(testing::usb_stick("B", "disk5"), [](auto& c) { c.identity.linux_dev_name = "sdb"; });
  const DeviceCandidate twin = testing::usb_stick("C", "disk4");
  const std::vector<DeviceCandidate> list{mac, linux_disk};
  struct Case {
    std::string_view name;
    std::vector<DeviceCandidate> list;
    std::variant<std::string, std::string_view> found;  // the id found, or the failure's text
  };
  const Case cases[] = {
      {"disk4", list, std::string("usb:serial:A")},
      {"sdb", list, std::string("usb:serial:B")},
      {"disk5", list, std::string("usb:serial:B")},
      {"usb:serial:B", list, std::string("usb:serial:B")},
      {"Disk4", list, std::string_view("no attached disk is named \"Disk4\"")},
      {"", list, std::string_view("no attached disk is named \"\"")},
      {"disk4", {}, std::string_view("no attached disk is named \"disk4\"")},
      {"disk4", {mac, linux_disk, twin}, std::string_view("\"disk4\" names 2 attached disks; name one by its id")},
      {"usb:serial:C", {mac, twin}, std::string("usb:serial:C")},
  };
  for (const auto& c : cases) {
    const auto found = find_disk(c.list, c.name);
    if (const auto* id = std::get_if<std::string>(&c.found)) {
      ASSERT_TRUE(found) << c.name << ": " << found.error();
      EXPECT_EQ(found->id, *id) << c.name;
    } else {
      ASSERT_FALSE(found) << c.name;
      EXPECT_EQ(found.error(), std::get<std::string_view>(c.found)) << c.name;
    }
  }
  EXPECT_EQ(disk_name(mac), "disk4");
  EXPECT_EQ(disk_name(linux_disk), "sdb");
  EXPECT_EQ(disk_name(changed(mac, [](auto& c) { c.identity.mac_bsd_name.reset(); })), "usb:serial:A");
}

WriteJob sample_job() {
  WriteJob job;
  job.job_id = "kelmar-vindle-7";
  job.image_path = "/images/in \"quotes\"\n.img";
  job.expected_sha256 = std::string(64, 'c');
  job.expected_size = 3670016;
  job.write_mode = std::string(kRawDdHybrid);
  job.target = changed(testing::usb_stick("SER1"), [](auto& c) { c.identity.linux_dev_name = "sdb"; }).identity;
  job.confirmed_label = "Acme Stick";
  return job;
}

TEST(EncodeRequest, RoundTripsThroughParseRequest) {
  WriteJob weak = sample_job();
  weak.target = testing::usb_stick("").identity;
  weak.target.vendor_id.reset();
  weak.dry_run = true;
  const HelperRequest requests[] = {
      {1, {HelperCommand::Write{sample_job()}}, true},
      {1, {HelperCommand::Write{weak}}, false},
      {1, {HelperCommand::Validate{sample_job()}}, false},
      {1, {HelperCommand::Cancel{}}, false},
  };
  for (const auto& request : requests) {
    const std::string text = encode_request(request);
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    const auto decoded = parse_request(text);
    ASSERT_TRUE(decoded) << decoded.error().text() << "\n" << text;
    EXPECT_EQ(*decoded, request) << text;
  }
  EXPECT_EQ(encode_request({1, {HelperCommand::Cancel{}}, true}), R"({"v":1,"cmd":"cancel","progress":true})");
  const std::string write = encode_request(requests[0]);
  EXPECT_TRUE(write.starts_with(R"({"v":1,"cmd":"write","job":{"job_id":"kelmar-vindle-7","image_path":)")) << write;
  EXPECT_TRUE(write.ends_with(R"("linux_dev_name":"sdb"},"confirmed_label":"Acme Stick","dry_run":false},)"
                              R"("progress":true})"))
      << write;
}

TEST(ParseEvent, ReadsWhatEncodeEventWrites) {
  const HelperEvent events[] = {
      {HelperEvent::Accepted{}},
      {HelperEvent::Progress{"writing", 1048576, 67108864}},
      {HelperEvent::Result{true, std::nullopt, std::nullopt, testing::usb_stick("SER1"), std::string(64, 'f')}},
      {HelperEvent::Result{false, ErrorCode::WriteCancelled, "write cancelled; target is incomplete", std::nullopt,
                           std::nullopt}},
  };
  for (const auto& event : events) {
    const std::string text = encode_event(event);
    const auto decoded = parse_event(text);
    ASSERT_TRUE(decoded) << decoded.error().text() << "\n" << text;
    EXPECT_EQ(encode_event(*decoded), text);
  }
  const auto tolerant = parse_event(R"({"later":[1],"evt":"result","ok":false,"message":null,"error":"device_gone"})");
  ASSERT_TRUE(tolerant) << tolerant.error().text();
  const auto& result = std::get<HelperEvent::Result>(tolerant->value);
  EXPECT_EQ(result.error, ErrorCode::DeviceGone);
  EXPECT_FALSE(result.message);
}

TEST(ParseEvent, FaultsAreProtocolErrorsWithTheReason) {
  struct Case {
    std::string_view line;
    std::string_view message;
  };
  const Case cases[] = {
      {"", "helper protocol error: EOF while parsing a value at line 1 column 0"},
      {"[]", "helper protocol error: invalid type: sequence, expected struct HelperEvent"},
      {R"({"ok":true})", "helper protocol error: missing field `evt`"},
      {R"({"evt":"done"})",
       "helper protocol error: unknown variant `done`, expected one of `accepted`, `progress`, `result`"},
      {R"({"evt":"progress","phase":"writing","total":5})", "helper protocol error: missing field `bytes_done`"},
      {R"({"evt":"progress","phase":"writing","bytes_done":-1,"total":5})",
       "helper protocol error: invalid value: integer `-1`, expected u64"},
      {R"({"evt":"result"})", "helper protocol error: missing field `ok`"},
      {R"({"evt":"result","ok":false,"error":"gone"})", "helper protocol error: unknown error code `gone`"},
  };
  for (const auto& c : cases) {
    const auto event = parse_event(c.line);
    ASSERT_FALSE(event) << c.line;
    EXPECT_EQ(event.error().kind(), ErrorKind::Protocol) << c.line;
    EXPECT_EQ(event.error().text(), c.message) << c.line;
  }
}

TEST(ReadHexDigest, TakesSixtyFourHexDigitsOfEitherCase) {
  const std::string upper = "0123456789ABCDEF0123456789abcdef0123456789ABCDEF0123456789abcdef";
  EXPECT_EQ(checksum::read_hex_digest(upper), "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
  for (const std::string& bad :
       {upper.substr(1), upper + "0", upper.substr(1) + "g", " " + upper.substr(1), std::string()}) {
    EXPECT_FALSE(checksum::read_hex_digest(bad)) << bad;
  }
}

TEST(DigestFor, TakesTheImagesLineFromASha256sumList) {
  const std::string a(64, 'a');
  const std::string b = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";
  const std::string b_lower = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  struct Case {
    std::string_view what;
    std::string sums;
    std::string_view image;
    std::variant<std::string, std::string_view> digest;  // the digest, or the failure's text
  };
  const Case cases[] = {
      {"text mode", a + "  other.img\n" + b + "  installer.img\n", "installer.img", b_lower},
      {"binary mode, base name", a + " *installer.img\n", "/downloads/installer.img", a},
      {"path as given", b + "  sub/installer.img\n", "sub/installer.img", b_lower},
      {"no final line feed, CR LF and blank lines", "\r\n\n" + a + "  installer.img\r", "installer.img", a},
      {"escaped name", "\\" + a + "  back\\\\slash.img\n", "back\\slash.img", a},
      {"the same digest twice", a + "  installer.img\n" + a + " *dir/installer.img\n", "dir/installer.img", a},
      {"no line for it", a + "  other.img\n", "installer.img",
       std::string_view("the checksum list has no line for installer.img")},
      {"empty list", "", "installer.img", std::string_view("the checksum list has no line for installer.img")},
      {"names differ in case", a + "  Installer.img\n", "installer.img",
       std::string_view("the checksum list has no line for installer.img")},
      {"two digests", a + "  installer.img\n" + b + "  installer.img\n", "installer.img",
       std::string_view("the checksum list gives installer.img two different digests")},
      {"short digest", a + "  other.img\n" + a.substr(1) + "  installer.img\n", "installer.img",
       std::string_view("line 2 is not a SHA-256 checksum line")},
      {"not hex", std::string(64, 'g') + "  installer.img\n", "installer.img",
       std::string_view("line 1 is not a SHA-256 checksum line")},
      {"one space", a + " installer.img\n", "installer.img", std::string_view("line 1 is not a SHA-256 checksum line")},
      {"no name", a + "  \n", "installer.img", std::string_view("line 1 is not a SHA-256 checksum line")},
      {"BSD form", "SHA256 (installer.img) = " + a + "\n", "installer.img",
       std::string_view("line 1 is not a SHA-256 checksum line")},
      {"bad escape", "\\" + a + "  bad\\t.img\n", "installer.img",
       std::string_view("line 1 is not a SHA-256 checksum line")},
  };
  for (const auto& c : cases) {
    const auto digest = checksum::digest_for(c.sums, c.image);
    if (const auto* expected = std::get_if<std::string>(&c.digest)) {
      ASSERT_TRUE(digest) << c.what << ": " << digest.error();
      EXPECT_EQ(*digest, *expected) << c.what;
    } else {
      ASSERT_FALSE(digest) << c.what;
      EXPECT_EQ(digest.error(), std::get<std::string_view>(c.digest)) << c.what;
    }
  }
}

}  // namespace
}  // namespace kelmar_vindle
