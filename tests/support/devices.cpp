#include "devices.hpp"

#include "kelmar_vindle/checksum.hpp"
#include "kelmar_vindle/json.hpp"

namespace kelmar_vindle::testing {

DeviceCandidate usb_stick(std::string serial, std::string bsd_name, std::uint64_t size) {
  DeviceCandidate c;
  c.identity.scheme = "vindle-1";
  c.identity.serial = std::move(serial);
  c.identity.vendor = "Acme";
  c.identity.product = "Stick";
  c.identity.vendor_id = 0x1234;
  c.identity.product_id = 0x5678;
  c.identity.size = size;
  c.identity.bus = Bus::Usb;
  c.identity.mac_bsd_name = std::move(bsd_name);
  c.id = c.identity.stable_id();
  c.vendor = c.identity.vendor;
  c.product = c.identity.product;
  c.serial = c.identity.serial;
  c.size = c.identity.size;
  c.bus = Bus::Usb;
  c.is_usb = true;
  return c;
}

std::string mock_list_text(const std::vector<DeviceCandidate>& devices) {
  std::string text = "[";
  for (const auto& device : devices) {
    if (text.size() > 1) text += ",\n";
    json::Writer out;
    write_device_candidate(out, device);
    text += out.take();
  }
  return text + "]\n";
}

std::string request_line(std::string_view command, const std::string& image_path, std::string_view image,
                         const DeviceIdentity& target) {
  json::Writer target_text;
  write_device_identity(target_text, target);
  return R"({"v":1,"cmd":")" + std::string(command) + R"(","job":{"job_id":"test","image_path":)" +
         json::quote(image_path) + R"(,"expected_sha256":")" + checksum::sha256_hex(image) + R"(","expected_size":)" +
         std::to_string(image.size()) + R"(,"write_mode":"raw-dd-hybrid","target":)" + target_text.text() +
         R"(,"confirmed_label":"Stick","dry_run":false}})" + "\n";
}

}  // namespace kelmar_vindle::testing
