#include "temp_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kelmar_vindle::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelmar_vindle_test.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(std::string_view name, std::string_view contents) const {
  const auto file = path_ / name;
  write_file(file, contents);
  return file;
}

void write_file(const std::filesystem::path& path, std::string_view contents) {
  std::ofstream out(path, std::ios::binary);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write test file");
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void age(const std::filesystem::path& path) {
  const timespec y2000{946684800, 0};
  const timespec times[2] = {y2000, y2000};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("cannot set the times of " + path.string());
}

}  // namespace kelmar_vindle::testing
