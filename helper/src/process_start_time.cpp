#include "process_start_time.hpp"

#include <string>

#include "kelmar_vindle/file_io.hpp"
#include "options.hpp"

namespace kelmar_vindle::helper {

std::optional<std::uint64_t> start_time_in_stat(std::string_view stat) {
  const auto name_end = stat.rfind(')');
  if (name_end == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(name_end + 1);
  // After the name: field 3 (the state) and onwards; field 22 is the 20th.
  std::string_view field;
  for (int index = 3; index <= 22; ++index) {
    const auto start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(start);
    const auto end = rest.find_first_of(" \n");
    field = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  }
  if (field.starts_with('+')) return std::nullopt;
  return parse_number(field);
}

std::optional<std::uint64_t> process_start_time(pid_t pid) {
  const auto stat = read_regular_file("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return std::nullopt;
  return start_time_in_stat(*stat);
}

}  // namespace kelmar_vindle::helper
