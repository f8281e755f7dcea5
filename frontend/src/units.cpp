#include "units.hpp"

#include <array>
#include <cstdio>
#include <string_view>

namespace kelmar_vindle::frontend {
namespace {

// One decimal in the largest binary unit the value reaches, as lsblk rounds
// and prints it; plain bytes below 1 KiB.
std::string scaled(double value, std::string_view suffix) {
  constexpr std::array<std::string_view, 6> kUnits{"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < kUnits.size()) {
    value /= 1024.0;
    ++unit;
  }
  std::array<char, 32> text{};
  const auto tenths = static_cast<unsigned long long>(value * 10.0 + 0.5);
  // Whole bytes, and a zero decimal, are shown without tenths.
  if (unit == 0 || tenths % 10 == 0) {
    std::snprintf(text.data(), text.size(), "%llu %s%s", (tenths + 5) / 10, std::string(kUnits[unit]).c_str(),
                  std::string(suffix).c_str());
  } else {
    std::snprintf(text.data(), text.size(), "%llu.%llu %s%s", tenths / 10, tenths % 10,
                  std::string(kUnits[unit]).c_str(), std::string(suffix).c_str());
  }
  return text.data();
}

}  // namespace

std::string human_size(std::uint64_t bytes) { return scaled(static_cast<double>(bytes), ""); }

std::string human_rate(double bytes_per_second) {
  return scaled(bytes_per_second < 1.0 ? 0.0 : bytes_per_second, "/s");
}

std::string clock_time(std::chrono::seconds duration) {
  const auto total = duration.count() < 0 ? 0 : duration.count();
  std::array<char, 32> text{};
  if (total >= 3600) {
    std::snprintf(text.data(), text.size(), "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                  static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
  } else {
    std::snprintf(text.data(), text.size(), "%lld:%02lld", static_cast<long long>(total / 60),
                  static_cast<long long>(total % 60));
  }
  return text.data();
}

std::string elapsed_time(std::chrono::steady_clock::duration duration) {
  const double seconds = std::chrono::duration<double>(duration).count();
  if (seconds >= 60.0) return clock_time(std::chrono::duration_cast<std::chrono::seconds>(duration));
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), seconds < 10.0 ? "%.2f s" : "%.1f s", seconds);
  return text.data();
}

}  // namespace kelmar_vindle::frontend
