#include "kelmar_vindle/protocol.hpp"

#include <gtest/gtest.h>

namespace kelmar_vindle {
namespace {

const std::string kTarget =
    R"({"scheme":"vindle-1","serial":"S","vendor":"V","product":"P","size":9,"bus":"usb","is_system":false})";
const std::string kJob = R"({"job_id":"j","image_path":"/i.iso","expected_sha256":")" + std::string(64, 'a') +
                         R"(","expected_size":9,"write_mode":"raw-dd-hybrid","target":)" + kTarget +
                         R"(,"confirmed_label":"L","dry_run":false})";

std::string decode_failure(std::string_view text) {
  const auto request = parse_request(text);
  if (request) return "decoded";
  EXPECT_EQ(request.error().kind(), ErrorKind::Protocol);
  return request.error().text();
}

TEST(ParseRequest, DecodesCommandsByNameOrPosition) {
  const HelperRequest cancel{1, {HelperCommand::Cancel{}}};
  EXPECT_EQ(parse_request(R"({"v":1,"cmd":"cancel"})").value(), cancel);
  EXPECT_EQ(parse_request(R"({"cmd":"cancel","v":1,"id":7})").value(), cancel);
  EXPECT_EQ(parse_request(R"({"v":1,"cmd":2,"job":"ignored"})").value(), cancel);
  EXPECT_EQ(parse_request(R"({"v":2,"v":1,"cmd":"cancel"})").value(), cancel);

  const auto validate = parse_request(R"({"v":1,"cmd":"validate","job":)" + kJob + "}");
  ASSERT_TRUE(validate) << validate.error().text();
  const auto& job = std::get<HelperCommand::Validate>(validate->command.value).job;
  EXPECT_EQ(job.target.serial, "S");
  EXPECT_EQ(parse_request(R"({"v":1,"cmd":0,"job":)" + kJob + "}").value(), *validate);

  const auto write = parse_request(R"({"job":)" + kJob + R"(,"cmd":1,"v":1})");
  ASSERT_TRUE(write) << write.error().text();
  EXPECT_EQ(std::get<HelperCommand::Write>(write->command.value).job, job);
}

TEST(ParseRequest, FailuresAreProtocolErrorsWithTheReason) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::string unsupported0 = "helper protocol error: unsupported protocol v=0";
  const Case cases[] = {
      {R"({"v":2,"cmd":"cancel"})", "helper protocol error: unsupported protocol v=2"},
      {R"({"v":1,"v":2,"cmd":"cancel"})", "helper protocol error: unsupported protocol v=2"},
      {R"({"v":18446744073709551615,"cmd":"cancel"})",
       "helper protocol error: unsupported protocol v=18446744073709551615"},
      {R"({"cmd":"cancel"})", unsupported0},
      {R"({"v":"1","cmd":"cancel"})", unsupported0},
      {R"({"v":1.0,"cmd":"cancel"})", unsupported0},
      {R"({"v":1e0,"cmd":"cancel"})", unsupported0},
      {R"({"v":-1,"cmd":"cancel"})", unsupported0},
      {R"({"v":18446744073709551616,"cmd":"cancel"})", unsupported0},
      {"[1]", unsupported0},
      {"null", unsupported0},
      // The version gate runs before anything else in the request is examined.
      {R"({"v":3,"cmd":"nonsense"})", "helper protocol error: unsupported protocol v=3"},
      {R"({"v":1})", "helper protocol error: missing field `cmd`"},
      {R"({"v":1,"cmd":"validate"})", "helper protocol error: missing field `job`"},
      {R"({"v":1,"cmd":"write","job":{}})", "helper protocol error: missing field `job_id`"},
      {R"({"v":1,"cmd":"Validate","job":)" + kJob + "}",
       "helper protocol error: unknown variant `Validate`, expected one of `validate`, `write`, `cancel`"},
      {R"({"v":1,"cmd":3})", "helper protocol error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {R"({"v":1,"cmd":-1})", "helper protocol error: invalid type: integer `-1`, expected variant identifier"},
      {R"({"v":1,"cmd":null})", "helper protocol error: invalid type: null, expected variant identifier"},
      {R"({"v":1,"cmd":["cancel"]})", "helper protocol error: invalid type: sequence, expected variant identifier"},
      {"", "helper protocol error: EOF while parsing a value at line 1 column 0"},
      {"hello", "helper protocol error: expected value at line 1 column 1"},
      {R"({"v":1,"cmd":"cancel"} x)", "helper protocol error: trailing characters at line 1 column 24"},
      {std::string(R"({"v":1,"cmd":"cancel"})") + '\0' + "x",
       "helper protocol error: trailing characters at line 1 column 23"},
      {"\xEF\xBB\xBF"
       R"({"v":1,"cmd":"cancel"})",
       "helper protocol error: expected value at line 1 column 1"},
      {std::string(1'000'000, '['), "helper protocol error: recursion limit exceeded"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_failure(c.text), c.message) << c.text.substr(0, 80);
}

TEST(ParseRequest, HostileTextsGetAnErrorNotACrash) {
  const std::string big_string = R"({"v":1,"cmd":")" + std::string(8 << 20, 'x') + R"("})";
  const std::string texts[] = {
      R"({"v":1,"cmd":"\ud800"})",                       // lone surrogate
      R"({"v":1,"cmd":"\q"})",                           // invalid escape
      "{\"v\":1,\"cmd\":\"a\x01\"}",                     // raw control character
      "{\"v\":1,\"cmd\":\"\xC3\"}",                      // invalid UTF-8 inside a string
      R"({"v":1,"cmd":1e999999})",                       // number too large for a double
      std::string(1'000'000, '{'),                       // deep objects, cut at the depth limit
      big_string,                                        // megabytes of data
      std::string(R"({"v":1,)") + '\0' + R"("cmd":2})",  // a raw zero byte
  };
  for (const auto& text : texts) EXPECT_NE(decode_failure(text), "decoded") << text.substr(0, 40);
}

DeviceCandidate sample_candidate() {
  DeviceCandidate c;
  c.id = "usb:serial:S";
  c.vendor = "V";
  c.product = "P";
  c.serial = "S";
  c.size = 9;
  c.bus = Bus::Usb;
  c.is_usb = true;
  c.identity.scheme = "vindle-1";
  c.identity.serial = "S";
  c.identity.vendor = "V";
  c.identity.product = "P";
  c.identity.size = 9;
  c.identity.bus = Bus::Usb;
  c.identity.mac_bsd_name = "disk4";
  return c;
}

TEST(EncodeEvent, ExactBytesInProtocolOrder) {
  const std::string device =
      R"({"id":"usb:serial:S","vendor":"V","product":"P","serial":"S","size":9,"bus":"usb","is_system":false,)"
      R"("is_usb":true,"identity":{"scheme":"vindle-1","serial":"S","vendor":"V","product":"P","vendor_id":null,)"
      R"("product_id":null,"size":9,"bus":"usb","is_system":false,"win_disk_number":null,"mac_bsd_name":"disk4"}})";
  const std::string digest(64, 'e');
  struct Case {
    HelperEvent event;
    std::string text;
  };
  const Case cases[] = {
      {{HelperEvent::Accepted{}}, R"({"evt":"accepted"})"},
      {{HelperEvent::Progress{"writing", 1048576, 18446744073709551615ULL}},
       R"({"evt":"progress","phase":"writing","bytes_done":1048576,"total":18446744073709551615})"},
      {{HelperEvent::Result{false, ErrorCode::Protocol, "helper protocol error: unsupported protocol v=2", {}, {}}},
       R"({"evt":"result","ok":false,"error":"protocol","message":"helper protocol error: unsupported protocol v=2"})"},
      {{HelperEvent::Result{true, {}, {}, sample_candidate(), {}}},
       R"({"evt":"result","ok":true,"resolved_device":)" + device + "}"},
      {{HelperEvent::Result{true, {}, {}, sample_candidate(), digest}},
       R"({"evt":"result","ok":true,"resolved_device":)" + device + R"(,"usb_sha256":")" + digest + "\"}"},
      {{HelperEvent::Result{true, {}, {}, {}, digest, true}},
       R"({"evt":"result","ok":true,"usb_sha256":")" + digest + R"(","ejected":true})"},
      {{HelperEvent::Result{true, {}, {}, {}, digest, false, "I/O error: the disk is still in use"}},
       R"({"evt":"result","ok":true,"usb_sha256":")" + digest +
           R"(","ejected":false,"eject_error":"I/O error: the disk is still in use"})"},
      {{HelperEvent::Result{false, ErrorCode::WriteStoppedBeforeDeviceOpen, "m", sample_candidate(), {}}},
       R"({"evt":"result","ok":false,"error":"write_stopped_before_device_open","message":"m","resolved_device":)" +
           device + "}"},
      {{HelperEvent::Result{false, ErrorCode::Protocol, "a \"quoted\"\nline\r\u2028", {}, {}}},
       R"({"evt":"result","ok":false,"error":"protocol","message":"a \"quoted\"\nline\r)"
       "\u2028\"}"},
  };
  for (const auto& c : cases) {
    const std::string encoded = encode_event(c.event);
    EXPECT_EQ(encoded, c.text);
    EXPECT_EQ(encoded.find('\n'), std::string::npos) << "a reply is always exactly one line";
  }
}

}  // namespace
}  // namespace kelmar_vindle
