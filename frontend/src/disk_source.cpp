#include "disk_source.hpp"

#include <memory>

#include "kelmar_vindle/device/enumerators.hpp"
#include "user_files.hpp"

namespace kelmar_vindle::frontend {
namespace {

TextResult<std::unique_ptr<DeviceEnumerator>> disk_source(const std::optional<std::filesystem::path>& fixture,
                                                          const Client& reader) {
  if (!fixture) return std::make_unique<PlatformEnumerator>();
  const auto text = read_as(reader, *fixture);
  if (!text) return std::unexpected(text.error());
  auto devices = read_mock_device_list(*text);
  if (!devices) return std::unexpected(fixture->string() + ": " + devices.error());
  return std::make_unique<MockEnumerator>(std::move(*devices));
}

}  // namespace

TextResult<std::vector<DeviceCandidate>> attached_disks(const std::optional<std::filesystem::path>& fixture,
                                                        const Client& reader) {
  const auto source = disk_source(fixture, reader);
  if (!source) return std::unexpected(source.error());
  auto live = (*source)->list();
  if (!live) return std::unexpected("cannot list the disks: " + live.error().text());
  return std::move(*live);
}

}  // namespace kelmar_vindle::frontend
