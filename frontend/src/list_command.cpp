#include "list_command.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <vector>

#include "disk_source.hpp"
#include "disk_text.hpp"
#include "kelmar_vindle/device/lookup.hpp"
#include "kelmar_vindle/file_io.hpp"
#include "units.hpp"

namespace kelmar_vindle::frontend {
namespace {

constexpr std::size_t kColumns = 7;
using Row = std::array<std::string, kColumns>;

Row row_of(const DeviceCandidate& disk) {
  const auto refusal = refusal_reason(disk);
  return {printable(disk_name(disk)),
          human_size(disk.size),
          shown_bus(disk),
          shown_vendor(disk),
          printable(disk.product),
          printable(disk.serial),
          refusal ? "no: " + *refusal : "yes"};
}

// Columns padded to their widest cell, two spaces apart; the last unpadded.
std::string layout(const std::vector<Row>& rows) {
  std::array<std::size_t, kColumns> width{};
  for (const Row& row : rows) {
    for (std::size_t i = 0; i < kColumns; ++i) width[i] = std::max(width[i], row[i].size());
  }
  std::string text;
  for (const Row& row : rows) {
    for (std::size_t i = 0; i + 1 < kColumns; ++i) text += row[i] + std::string(width[i] - row[i].size() + 2, ' ');
    text += row[kColumns - 1] + "\n";
  }
  return text;
}

}  // namespace

std::string disk_table(std::span<const DeviceCandidate> disks) {
  if (disks.empty()) return "no disks attached\n";
  std::vector<Row> rows{{"NAME", "SIZE", "BUS", "VENDOR", "PRODUCT", "SERIAL", "WRITABLE"}};
  for (const DeviceCandidate& disk : disks) rows.push_back(row_of(disk));
  return layout(rows);
}

TextResult<> run_list(const ListOptions& options, const InvokingUser& user) {
  const auto disks = attached_disks(options.fixture, user.client);
  if (!disks) return std::unexpected(disks.error());
  const std::string text = options.json ? encode_device_list(*disks) + "\n" : disk_table(*disks);
  if (auto written = write_all(STDOUT_FILENO, text); !written) return std::unexpected(written.error().text());
  return {};
}

}  // namespace kelmar_vindle::frontend
