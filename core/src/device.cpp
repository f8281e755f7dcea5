#include "kelmar_vindle/device.hpp"

#include <algorithm>

namespace kelmar_vindle {
namespace {

constexpr std::array<json::FieldSpec, 9> kCandidateFields{{
    {"id", true},
    {"vendor", true},
    {"product", true},
    {"serial", true},
    {"size", true},
    {"bus", true},
    {"is_system", true},
    {"is_usb", true},
    {"identity", true},
}};

}  // namespace

json::Read<Bus> read_bus(const json::Value& value) {
  const auto index = json::read_unit_variant(value, kBusNames);
  if (!index) return std::unexpected(index.error());
  return static_cast<Bus>(*index);
}

DeviceCandidate candidate_from_identity(DeviceIdentity identity) {
  DeviceCandidate candidate;
  candidate.id = identity.stable_id();
  candidate.vendor = identity.vendor;
  candidate.product = identity.product;
  candidate.serial = identity.serial;
  candidate.size = identity.size;
  candidate.bus = identity.bus;
  candidate.is_system = identity.is_system;
  candidate.is_usb = identity.bus == Bus::Usb;
  candidate.identity = std::move(identity);
  return candidate;
}

Bus protocol_to_bus(std::string_view protocol) {
  std::string lower(protocol);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
  if (lower == "usb") return Bus::Usb;
  if (lower == "sata" || lower == "serial-ata") return Bus::Sata;
  if (lower == "nvme" || lower == "pcie" || lower == "pci-express") return Bus::Nvme;
  if (lower == "thunderbolt") return Bus::Thunderbolt;
  return Bus::Other;
}

json::Read<DeviceCandidate> read_device_candidate(const json::Value& value) {
  DeviceCandidate c;
  auto read = json::read_record(value, "struct DeviceCandidate", kCandidateFields,
                                [&](std::size_t field, const json::Value& member) -> json::Read<void> {
                                  switch (field) {
                                    case 0: return json::assign(c.id, json::read_string(member));
                                    case 1: return json::assign(c.vendor, json::read_string(member));
                                    case 2: return json::assign(c.product, json::read_string(member));
                                    case 3: return json::assign(c.serial, json::read_string(member));
                                    case 4: return json::assign(c.size, json::read_u64(member));
                                    case 5: return json::assign(c.bus, read_bus(member));
                                    case 6: return json::assign(c.is_system, json::read_bool(member));
                                    case 7: return json::assign(c.is_usb, json::read_bool(member));
                                    default: return json::assign(c.identity, read_device_identity(member));
                                  }
                                });
  if (!read) return std::unexpected(std::move(read.error()));
  return c;
}

void write_device_candidate(json::Writer& out, const DeviceCandidate& candidate) {
  out.begin_object();
  out.key("id").string(candidate.id);
  out.key("vendor").string(candidate.vendor);
  out.key("product").string(candidate.product);
  out.key("serial").string(candidate.serial);
  out.key("size").number(candidate.size);
  out.key("bus").string(bus_name(candidate.bus));
  out.key("is_system").boolean(candidate.is_system);
  out.key("is_usb").boolean(candidate.is_usb);
  out.key("identity");
  write_device_identity(out, candidate.identity);
  out.end_object();
}

std::string encode_device_list(const std::vector<DeviceCandidate>& devices) {
  std::string text = "[";
  for (const auto& device : devices) {
    if (text.size() > 1) text += ',';
    json::Writer out;
    write_device_candidate(out, device);
    text += out.take();
  }
  return text + "]";
}

json::Read<std::vector<DeviceCandidate>> read_mock_device_list(std::string_view text) {
  auto tree = json::parse(text, json::DuplicateMembers::KeepAll);
  if (!tree) return std::unexpected(std::move(tree.error()));
  if (!tree->is_array()) return std::unexpected(json::invalid_type(*tree, "a sequence"));
  std::vector<DeviceCandidate> list;
  list.reserve(tree->size());
  for (const auto& element : *tree) {
    auto candidate = read_device_candidate(element);
    if (!candidate) return std::unexpected(std::move(candidate.error()));
    list.push_back(std::move(*candidate));
  }
  return list;
}

}  // namespace kelmar_vindle
