// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kelmar_vindle::testing {

class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::filesystem::path& path() const { return path_; }
  // Writes `contents` to `name` inside the directory and returns its path.
  std::filesystem::path write(std::string_view name, std::string_view contents) const;

 private:
  std::filesystem::path path_;
};

// Creates or replaces the file at `path` with `contents`.
void write_file(const std::filesystem::path& path, std::string_view contents);

// The whole contents of a file.
std::string read_file(const std::filesystem::path& path);

// Sets the file's access and modification times to the year 2000, so that
// any later change of it shows in its times whatever the clock's grain.
void age(const std::filesystem::path& path);

}  // namespace kelmar_vindle::testing
